'use strict';
// The peer: the general `he` encoder composing the same encoded script shape
// for the same 1 Mi address that bench_compose wrote. The result must equal
// Quorvel's byte for byte, or the comparison would be between different work.
//
//   node he_peer.js PEER_DIR INPUT_DIR OUTPUT_JSON
//     PEER_DIR    where `npm ci` installed he (holds node_modules)
//     INPUT_DIR   address.txt and expected.txt from bench_compose
const fs = require('fs');
const path = require('path');

const [peerDir, inputDir, outputFile] = process.argv.slice(2);
if (!outputFile) {
  console.error('usage: node he_peer.js PEER_DIR INPUT_DIR OUTPUT_JSON');
  process.exit(2);
}
const he = require(path.join(peerDir, 'node_modules', 'he'));
const heVersion = require(path.join(peerDir, 'node_modules', 'he', 'package.json')).version;

const address = fs.readFileSync(path.join(inputDir, 'address.txt'), 'utf8');
const expected = fs.readFileSync(path.join(inputDir, 'expected.txt'), 'utf8');
const linkText = 'メール送信';
const options = { encodeEverything: true, decimal: true, useNamedReferences: false };

function compose() {
  return '<script type="text/javascript">\r\n' +
    '<!--\r\n' +
    'document.write(\'<a href="ma\' + \'ilto:' + he.encode(address, options) + '">' + linkText +
    '</a>\');\r\n' +
    '// -->\r\n' +
    '</script>\r\n';
}

// Flatten the rope node builds, as Quorvel's result is one contiguous buffer.
function composeFlat() {
  const s = compose();
  s.charCodeAt(s.length >> 1);
  return s;
}

const first = composeFlat();
if (first !== expected) {
  let at = 0;
  while (at < first.length && first[at] === expected[at]) ++at;
  console.error(`he_peer: he's result differs from Quorvel's at unit ${at} ` +
    `(lengths ${first.length} and ${expected.length})`);
  process.exit(1);
}

const repetitions = 7;
const times = [];
for (let r = 0; r < repetitions; ++r) {
  const start = process.hrtime.bigint();
  const result = composeFlat();
  const end = process.hrtime.bigint();
  if (result.length !== expected.length) process.exit(1);
  times.push(Number(end - start) / 1e6);
}
const sorted = [...times].sort((a, b) => a - b);
fs.writeFileSync(outputFile, JSON.stringify({
  name: 'he/encoded/' + address.length,
  he_version: heVersion,
  node_version: process.version,
  result_units: expected.length,
  times_ms: times,
  median_ms: sorted[sorted.length >> 1],
}, null, 2) + '\n');
