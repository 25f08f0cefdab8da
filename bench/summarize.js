'use strict';
// One line per target, from the results run-benchmarks collected in RESULTS.
// Medians throughout: a neighbour's build on this machine may slow any one
// repetition, rarely the middle one.
//
//   node summarize.js RESULTS_DIR
const fs = require('fs');
const path = require('path');

const dir = process.argv[2];
const read = (name) => JSON.parse(fs.readFileSync(path.join(dir, name), 'utf8'));

const toMs = { ns: 1e-6, us: 1e-3, ms: 1, s: 1e3 };
function medians(file) {
  const result = new Map();
  for (const b of read(file).benchmarks) {
    if (b.run_type === 'aggregate' && b.aggregate_name === 'median')
      result.set(b.run_name, b.real_time * toMs[b.time_unit]);
  }
  return result;
}
function need(map, name) {
  if (!map.has(name)) throw new Error(`no median for ${name}`);
  return map.get(name);
}

const compose = medians('compose.json');
const window = medians('window.json');
const he = read('he.json');
const startup = read('startup.json').programs;

const mi = 1024 * 1024;
const ki64 = 64 * 1024;
const encodedMi = need(compose, `compose/encoded/${mi}`);
const encoded64 = need(compose, `compose/encoded/${ki64}`);
const floor = need(compose, `memcpy/encoded_result/${mi}`);
const makePaint = need(window, 'window/make+paint/100000/manual_time');
const setPaint = need(window, 'window/setPlainText+paint/100000/manual_time');

const ms = (v) => `${v.toFixed(v < 10 ? 3 : 1)} ms`;
const mib = (kib) => `${(kib / 1024).toFixed(1)} MiB`;
const lines = [
  ['compose 1 Mi encoded vs he 1.2.0', he.median_ms / encodedMi, 'faster', '>=', 100,
    `${ms(encodedMi)} vs ${ms(he.median_ms)}`],
  ['compose 1 Mi encoded vs memcpy of its bytes', encodedMi / floor, 'the time', '<=', 4,
    `${ms(encodedMi)} vs ${ms(floor)}`],
  ['per-character cost, 1 Mi vs 64 Ki', (encodedMi / mi) / (encoded64 / ki64), 'the cost', '<=', 1.2,
    `${(encodedMi / mi * 1e6).toFixed(2)} ns vs ${(encoded64 / ki64 * 1e6).toFixed(2)} ns per character`],
  ['window make+paint vs setPlainText+paint, 100 000 characters', makePaint / setPaint, 'the time', '<=', 1.2,
    `${ms(makePaint)} vs ${ms(setPaint)}`],
  ['start-up to shown vs an empty Qt window', startup.quorvel.median_shown_ms / startup.empty.median_shown_ms,
    'the time', '<=', 1.3, `${ms(startup.quorvel.median_shown_ms)} vs ${ms(startup.empty.median_shown_ms)}`],
  ['resident memory once shown vs an empty Qt window',
    startup.quorvel.median_rss_kib / startup.empty.median_rss_kib, 'the memory', '<=', 1.3,
    `${mib(startup.quorvel.median_rss_kib)} vs ${mib(startup.empty.median_rss_kib)}`],
];

console.log('target                                                        measured       target   verdict');
for (const [what, ratio, of, op, target, detail] of lines) {
  const met = op === '>=' ? ratio >= target : ratio <= target;
  const shown = op === '>=' ? `${ratio.toFixed(0)}x` : `${ratio.toFixed(2)}x`;
  console.log(`${what.padEnd(62)}${shown.padStart(8)} ${of === 'faster' ? 'faster' : '      '}  ${op} ${String(target).padEnd(4)}x  ` +
    `${met ? 'met' : 'MISSED'}   (${detail})`);
}
