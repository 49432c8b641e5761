# Reads one CBOR item per input line (hex) with the cbor gem and prints each
# as the shared rendering, or "!" and the reason it was refused.
require 'cbor'

def render(value)
  case value
  when nil then 'N'
  when true then 'T'
  when false then 'F'
  when Integer then value.to_s
  when Float then value.nan? ? 'fnan' : "f#{[value].pack('G').unpack1('H*')}"
  when String then (value.encoding == Encoding::BINARY ? 'h' : 's') + value.unpack1('H*')
  when Array then "[#{value.map { |item| render(item) }.join(',')}]"
  when Hash then "{#{value.map { |key, item| "#{render(key)}:#{render(item)}" }.join(',')}}"
  else "?#{value.class}"
  end
end

$stdin.each_line do |line|
  puts render(CBOR.decode([line.chomp].pack('H*')))
rescue StandardError => e
  puts "!#{e.message.tr("\n", ' ')}"
end
