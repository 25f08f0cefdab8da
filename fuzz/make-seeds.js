'use strict';
// Writes the seed corpus: one file per case that once mattered or easily
// could, in the fuzzer's input layout (options byte, link-text length as
// 16-bit little endian, then UTF-16LE link text and address).
//
//   node fuzz/make-seeds.js fuzz/corpus
const fs = require('fs');
const path = require('path');

const PLAIN = 0;
const SCRIPT = 1;
const ENCODED = 3;

const seeds = {
  'sample-plain': [PLAIN, 'メール送信', 'abc'],
  'sample-script': [SCRIPT, 'メール送信', 'abc'],
  'sample-encoded': [ENCODED, 'メール送信', 'someone@example.com'],
  'empty': [ENCODED, '', ''],
  'quotes-backslash': [SCRIPT, "it's a \\ here", "o'brien\\@example.com"],
  'end-tag': [SCRIPT, '</script><script>alert(1)</script>', 'x</SCRIPT >@example.com'],
  'comment-double-escape': [SCRIPT, '<!--<script>', '--><!-- <script '],
  'line-breaks-plain': [PLAIN, 'line\r\nbreak', 'a\rb\nc'],
  'line-breaks-script': [SCRIPT, 'line\r\nbreak', 'a\rb\nc'],
  'line-breaks-encoded': [ENCODED, 'line\nbreak\r', '\r\n'],
  'js-line-terminators': [SCRIPT, 'a\u2028b\u2029c', '\u2028@\u2029'],
  'double-quote-plain': [PLAIN, 'say "hi"', 'a"b@example.com'],
  'double-quote-script': [SCRIPT, 'say "hi"', 'a"b@example.com'],
  'literal-reference': [PLAIN, '&quot;', '&quot;&#34;@example.com'],
  'surrogates': [ENCODED, '\u{1F4E7}', '\u{1F4E7} \uD800 \uDC00 \uDBFF\uDFFF x'],
  'high-code-points': [ENCODED, 'x', '\u{F4240}\u{10FFFF}\u{10000}\u{FFFF}\u00A0'],
  // Pairs straddling the 64-unit blocks that the length is summed over.
  'block-boundary': [ENCODED, 'x', 'a'.repeat(63) + '\u{1F4E7}' + 'b'.repeat(62) + '\uD83D'],
  'ascii-controls': [ENCODED, '\t\0', '\0\x01\x09\x0A\x0D\x7F'],
  'backslash-escapes': [SCRIPT, '\\x41\\u0041\\0', '\\n\\\''],
};

const dir = process.argv[2];
if (!dir) {
  console.error('usage: node make-seeds.js CORPUS_DIR');
  process.exit(2);
}
fs.mkdirSync(dir, { recursive: true });
for (const [name, [options, text, address]] of Object.entries(seeds)) {
  const body = Buffer.alloc(3 + 2 * (text.length + address.length));
  body[0] = options;
  body.writeUInt16LE(text.length, 1);
  const units = text + address;
  for (let i = 0; i < units.length; ++i) body.writeUInt16LE(units.charCodeAt(i), 3 + 2 * i);
  fs.writeFileSync(path.join(dir, name), body);
}
