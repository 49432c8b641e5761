// Reads one CBOR item per input line (hex) with Jackson's CBOR parser and
// prints each as the shared rendering, or "!" and the reason it was refused.
// Jackson gives every map key as a field name, that is as text.
import com.fasterxml.jackson.core.JsonParser;
import com.fasterxml.jackson.core.JsonToken;
import com.fasterxml.jackson.dataformat.cbor.CBORFactory;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.util.HexFormat;

public class ReadJackson {
    private static final HexFormat HEX = HexFormat.of();

    private static void render(JsonParser parser, JsonToken token, StringBuilder out) throws IOException {
        switch (token) {
            case START_ARRAY -> {
                out.append('[');
                for (token = parser.nextToken(); token != JsonToken.END_ARRAY; token = parser.nextToken()) {
                    if (out.charAt(out.length() - 1) != '[') out.append(',');
                    render(parser, token, out);
                }
                out.append(']');
            }
            case START_OBJECT -> {
                out.append('{');
                for (token = parser.nextToken(); token != JsonToken.END_OBJECT; token = parser.nextToken()) {
                    if (out.charAt(out.length() - 1) != '{') out.append(',');
                    out.append('s').append(HEX.formatHex(parser.getCurrentName().getBytes(StandardCharsets.UTF_8)));
                    out.append(':');
                    render(parser, parser.nextToken(), out);
                }
                out.append('}');
            }
            case VALUE_NUMBER_INT -> out.append(parser.getBigIntegerValue());
            case VALUE_NUMBER_FLOAT -> {
                double value = parser.getDoubleValue();
                out.append(Double.isNaN(value) ? "fnan" : String.format("f%016x", Double.doubleToRawLongBits(value)));
            }
            case VALUE_STRING -> out.append('s').append(HEX.formatHex(parser.getText().getBytes(StandardCharsets.UTF_8)));
            case VALUE_EMBEDDED_OBJECT -> out.append('h').append(HEX.formatHex(parser.getBinaryValue()));
            case VALUE_TRUE -> out.append('T');
            case VALUE_FALSE -> out.append('F');
            case VALUE_NULL -> out.append('N');
            default -> out.append('?').append(token);
        }
    }

    public static void main(String[] args) throws IOException {
        CBORFactory factory = new CBORFactory();
        BufferedReader input = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.US_ASCII));
        PrintWriter output = new PrintWriter(System.out);
        for (String line = input.readLine(); line != null; line = input.readLine()) {
            StringBuilder rendering = new StringBuilder();
            try (JsonParser parser = factory.createParser(HEX.parseHex(line))) {
                render(parser, parser.nextToken(), rendering);
                if (parser.nextToken() != null) rendering = new StringBuilder("!bytes after the item");
            } catch (IOException | RuntimeException error) {
                rendering = new StringBuilder("!" + error.getMessage().replace('\n', ' '));
            }
            output.println(rendering);
        }
        output.flush();
    }
}
