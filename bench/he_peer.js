'use strict';
// The peer: the general `he` encoder composing the same encoded script shape
// for the same address that bench_compose wrote. Its result must equal
// Quorvel's, or the comparison would be between different work.
//
//   node he_peer.js PEER_DIR INPUT_DIR   prints the median in milliseconds
const fs = require('fs');
const path = require('path');

const [peerDir, inputDir] = process.argv.slice(2);
const he = require(path.join(peerDir, 'node_modules', 'he'));
const read = (name) => fs.readFileSync(path.join(inputDir, name), 'utf16le');
const address = read('address.txt');
const expected = read('expected.txt');
const options = { encodeEverything: true, decimal: true, useNamedReferences: false };

function compose() {
  const s = '<script type="text/javascript">\r\n<!--\r\ndocument.write(\'<a href="ma\' + \'ilto:' +
    he.encode(address, options) + '">メール送信</a>\');\r\n// -->\r\n</script>\r\n';
  s.charCodeAt(s.length >> 1);  // flatten the rope: Quorvel's result is one buffer
  return s;
}

if (compose() !== expected) {
  console.error('he_peer: he does not produce the very same tag');
  process.exit(1);
}
const times = [];
for (let r = 0; r < 7; ++r) {
  const start = process.hrtime.bigint();
  compose();
  times.push(Number(process.hrtime.bigint() - start) / 1e6);
}
console.log(times.sort((a, b) => a - b)[3]);
