//! Reads one CBOR item per input line (hex) with serde_cbor into its `Value`
//! and prints each as the shared rendering, or "!" and the reason it was
//! refused. `Value` keeps maps in a `BTreeMap`, so map entries are printed
//! sorted by their rendered key.
use serde_cbor::Value;
use std::io::{self, BufRead, BufWriter, Write};

fn hex(data: &[u8]) -> String {
    data.iter().map(|byte| format!("{byte:02x}")).collect()
}

fn render(value: &Value) -> String {
    match value {
        Value::Null => "N".into(),
        Value::Bool(true) => "T".into(),
        Value::Bool(false) => "F".into(),
        Value::Integer(n) => n.to_string(),
        Value::Float(x) if x.is_nan() => "fnan".into(),
        Value::Float(x) => format!("f{:016x}", x.to_bits()),
        Value::Bytes(data) => format!("h{}", hex(data)),
        Value::Text(text) => format!("s{}", hex(text.as_bytes())),
        Value::Array(items) => format!("[{}]", items.iter().map(render).collect::<Vec<_>>().join(",")),
        Value::Map(entries) => {
            let mut rendered: Vec<String> =
                entries.iter().map(|(key, item)| format!("{}:{}", render(key), render(item))).collect();
            rendered.sort();
            format!("{{{}}}", rendered.join(","))
        }
        other => format!("?{other:?}"),
    }
}

fn main() {
    let mut output = BufWriter::new(io::stdout().lock());
    for line in io::stdin().lock().lines() {
        let line = line.expect("reading the items");
        let data: Vec<u8> = (0..line.len() / 2)
            .map(|i| u8::from_str_radix(&line[2 * i..2 * i + 2], 16).expect("hex"))
            .collect();
        match serde_cbor::from_slice::<Value>(&data) {
            Ok(value) => writeln!(output, "{}", render(&value)),
            Err(error) => writeln!(output, "!{error}"),
        }
        .expect("writing the renderings");
    }
}
