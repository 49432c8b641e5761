// Reads one CBOR item per input line (hex) with node-cbor and prints each as
// the shared rendering, or "!" and the reason it was refused. A JavaScript
// number is printed as an integer when it is an exact one (up to 2^53), since
// the decoded value no longer tells an integral float from an integer.
'use strict'
const cbor = require('cbor')
const readline = require('readline')

function renderNumber (value) {
  if (Number.isInteger(value) && Math.abs(value) <= 2 ** 53 && !Object.is(value, -0)) return String(value)
  if (Number.isNaN(value)) return 'fnan'
  const view = new DataView(new ArrayBuffer(8))
  view.setFloat64(0, value)
  return 'f' + view.getBigUint64(0).toString(16).padStart(16, '0')
}

function render (value) {
  if (value === null) return 'N'
  if (value === true) return 'T'
  if (value === false) return 'F'
  if (typeof value === 'number') return renderNumber(value)
  if (typeof value === 'bigint') return value.toString()
  if (typeof value === 'string') return 's' + Buffer.from(value, 'utf8').toString('hex')
  if (Buffer.isBuffer(value)) return 'h' + value.toString('hex')
  if (Array.isArray(value)) return '[' + value.map(render).join(',') + ']'
  const entries = value instanceof Map ? [...value] : Object.entries(value)
  if (value instanceof Map || value.constructor === Object) {
    return '{' + entries.map(([key, item]) => render(key) + ':' + render(item)).join(',') + '}'
  }
  return '?' + String(value)
}

const lines = readline.createInterface({ input: process.stdin, crlfDelay: Infinity })
const output = []
lines.on('line', (line) => {
  try {
    output.push(render(cbor.decodeFirstSync(Buffer.from(line, 'hex'))))
  } catch (error) {
    output.push('!' + String(error.message).replace(/\n/g, ' '))
  }
})
lines.on('close', () => process.stdout.write(output.map((rendering) => rendering + '\n').join('')))
