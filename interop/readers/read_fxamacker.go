// Reads one CBOR item per input line (hex) with fxamacker/cbor, decoded into
// interface{} with the default options, and prints each as the shared
// rendering, or "!" and the reason it was refused. Go maps have no order, so
// map entries are printed sorted by their rendered key.
package main

import (
	"bufio"
	"bytes"
	"encoding/hex"
	"fmt"
	"math"
	"math/big"
	"os"
	"sort"
	"strings"

	"github.com/fxamacker/cbor"
)

func render(value interface{}) string {
	switch v := value.(type) {
	case nil:
		return "N"
	case bool:
		if v {
			return "T"
		}
		return "F"
	case uint64:
		return fmt.Sprint(v)
	case int64:
		return fmt.Sprint(v)
	case big.Int:
		return v.String()
	case float64:
		if math.IsNaN(v) {
			return "fnan"
		}
		return fmt.Sprintf("f%016x", math.Float64bits(v))
	case float32:
		return render(float64(v))
	case []byte:
		return "h" + hex.EncodeToString(v)
	case string:
		return "s" + hex.EncodeToString([]byte(v))
	case []interface{}:
		items := make([]string, len(v))
		for i, item := range v {
			items[i] = render(item)
		}
		return "[" + strings.Join(items, ",") + "]"
	case map[interface{}]interface{}:
		entries := make([]string, 0, len(v))
		for key, item := range v {
			entries = append(entries, render(key)+":"+render(item))
		}
		sort.Strings(entries)
		return "{" + strings.Join(entries, ",") + "}"
	}
	return fmt.Sprintf("?%T", value)
}

func main() {
	input := bufio.NewScanner(os.Stdin)
	input.Buffer(nil, 1<<30)
	output := bufio.NewWriter(os.Stdout)
	defer output.Flush()
	for input.Scan() {
		data, err := hex.DecodeString(input.Text())
		var value interface{}
		if err == nil {
			decoder := cbor.NewDecoder(bytes.NewReader(data))
			err = decoder.Decode(&value)
			if err == nil && decoder.NumBytesRead() != int64(len(data)) {
				err = fmt.Errorf("%d bytes after the item", int64(len(data))-decoder.NumBytesRead())
			}
		}
		if err != nil {
			fmt.Fprintln(output, "!"+strings.ReplaceAll(err.Error(), "\n", " "))
		} else {
			fmt.Fprintln(output, render(value))
		}
	}
}
