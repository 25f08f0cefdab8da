// A real JavaScript engine judges every script row of the shared table: the
// HTML parser must end the script element exactly at its last line, and the
// block must run and write exactly the plain link of the row's inputs.
'use strict';
const vm = require('vm');
const rows = require(process.argv[2]);

// A lone surrogate cannot be referenced; the encoded address holds U+FFFD.
const wellFormed = (s) => s.replace(/[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/g, '\ufffd');

function judge({ tag, text, address, shape }) {
  const open = '<script type="text/javascript">';
  if (!tag.startsWith(open)) return 'no script start tag';
  const body = tag.slice(open.length);
  // The HTML parser ends a script element at the first "</script" followed by
  // whitespace, "/" or ">", whatever JavaScript would make of it.
  const end = body.search(/<\/script[\t\n\f\r />]/i);
  if (end < 0 || body.slice(end) !== '</script>\r\n') return 'script element closes early or never';
  let written = '';
  try {
    vm.runInNewContext(body.slice(0, end), { document: { write: (s) => { written += s; } } });
  } catch (e) {
    return 'script does not run: ' + e;
  }
  const m = /^<a href="mailto:([^"]*)">([\s\S]*)<\/a>$/.exec(written);
  if (!m) return 'not a single mail link: ' + JSON.stringify(written);
  if (m[2] !== text) return 'link text ' + JSON.stringify(m[2]);
  const href = shape === 'encoded'
    ? (/^(&#[0-9]+;)*$/.test(m[1]) ? m[1].replace(/&#([0-9]+);/g, (_, n) => String.fromCodePoint(Number(n))) : null)
    : m[1].replace(/&quot;/g, '"');
  if (href !== (shape === 'encoded' ? wellFormed(address) : address)) return 'address ' + JSON.stringify(m[1]);
  return null;
}

let passed = 0, failed = 0;
for (const row of rows.filter((r) => r.shape !== 'plain')) {
  const verdict = judge(row);
  if (verdict) console.log(`FAIL ${row.name}: ${verdict}`);
  verdict ? failed++ : passed++;
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed || !passed ? 1 : 0);
