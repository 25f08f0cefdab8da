// Runs a generated script block the way a page would and checks what it
// writes. Input on stdin, one JSON object:
//   { "tag": <the composed block>, "text": <link text>, "address": <address>,
//     "encoded": <bool> }
// Exit 0 when the block runs and writes exactly the plain link; otherwise a
// message on stderr and exit 1.
'use strict';
const vm = require('vm');

function fail(message) {
  process.stderr.write(message + '\n');
  process.exit(1);
}

let input = '';
process.stdin.setEncoding('utf8');
process.stdin.on('data', (chunk) => { input += chunk; });
process.stdin.on('end', () => {
  const { tag, text, address, encoded } = JSON.parse(input);

  // The HTML parser ends a script element at the first "</script" followed
  // by whitespace, "/" or ">", whatever JavaScript would make of it.
  const open = '<script type="text/javascript">';
  if (!tag.startsWith(open)) fail('no script start tag');
  const body = tag.slice(open.length);
  const end = body.search(/<\/script[\t\n\f\r />]/i);
  if (end < 0) fail('script element never closes');
  const rest = body.slice(end);
  if (rest !== '</script>\r\n') fail('script element closes early, leaving: ' + JSON.stringify(rest));

  let written = '';
  try {
    vm.runInNewContext(body.slice(0, end), { document: { write: (s) => { written += s; } } });
  } catch (e) {
    fail('script does not run: ' + e);
  }

  const m = /^<a href="mailto:([^"]*)">([\s\S]*)<\/a>$/.exec(written);
  if (!m) fail('not a single mail link: ' + JSON.stringify(written));
  if (m[2] !== text) fail('link text ' + JSON.stringify(m[2]) + ' instead of ' + JSON.stringify(text));

  let href;
  if (encoded) {
    if (!/^(&#[0-9]+;)*$/.test(m[1])) fail('address not fully encoded: ' + JSON.stringify(m[1]));
    href = m[1].replace(/&#([0-9]+);/g, (_, n) => String.fromCodePoint(Number(n)));
    // A lone surrogate cannot be referenced; it stands as U+FFFD.
    const address_ = address.replace(/[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/g, '\ufffd');
    if (href !== address_) fail('encoded address decodes to ' + JSON.stringify(href));
  } else {
    if (m[1].includes('"')) fail('raw double quote in href');
    href = m[1].replace(/&quot;/g, '"');
    if (href !== address) fail('address ' + JSON.stringify(href) + ' instead of ' + JSON.stringify(address));
  }
  process.exit(0);
});
