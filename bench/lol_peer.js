// The streaming rewriter quorvel-site is measured against: lol-html as
// WebAssembly (html-rewriter-wasm), doing the same task. It reads every page
// of a NUL-separated list, passes over those that cannot spell "mailto" as
// quorvel-site does, rewrites the href of each `a` that is a mail link into
// decimal references, and writes each changed page beside itself and renames
// it into place.
// Usage: node lol_peer.js PEER_DIR LIST
const fs = require('fs');
const path = require('path');
const { HTMLRewriter } = require(path.join(process.argv[2], 'node_modules', 'html-rewriter-wasm'));

const refs = (s) => Array.from(s, (c) => `&#${c.codePointAt(0)};`).join('');

async function rewrite(file) {
  const bytes = fs.readFileSync(file);
  if (!/mailto/i.test(bytes.toString('latin1')))
    return;
  const chunks = [];
  let changed = false;
  const rewriter = new HTMLRewriter((chunk) => chunks.push(Buffer.from(chunk)));
  rewriter.on('a[href]', {
    element(a) {
      const href = a.getAttribute('href');
      if (/^\s*mailto:/i.test(href)) {
        a.setAttribute('href', refs(href));
        changed = true;
      }
    },
  });
  try {
    await rewriter.write(bytes);
    await rewriter.end();
  } finally {
    rewriter.free();
  }
  if (!changed)
    return;
  const temp = path.join(path.dirname(file), `.${path.basename(file)}.${process.pid}.tmp`);
  fs.writeFileSync(temp, Buffer.concat(chunks));
  fs.renameSync(temp, file);
}

(async () => {
  for (const file of fs.readFileSync(process.argv[3], 'utf8').split('\0'))
    if (file)
      await rewrite(file);
})();
