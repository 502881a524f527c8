// node perceptual_bench.mjs RAW_DIR NPM_DIR LABEL
//
// Times pixelmatch (the npm install in NPM_DIR) on the raw RGBA pairs that
// perceptual_bench wrote to RAW_DIR, with includeAA false (anti-aliasing
// detected) and true, no diff output, then with the diff output; prints one
// JSON object per pair and option: {"pair", "includeAA", "output", "ms", "count"}.
// Times are on this process's processor clock, the best of several runs.
import fs from 'fs';
import {pathToFileURL} from 'url';

const [rawDir, npmDir, label] = process.argv.slice(2);
const pixelmatch = (await import(pathToFileURL(npmDir + '/node_modules/pixelmatch/index.js'))).default;
const cpuMs = () => { const u = process.cpuUsage(); return (u.user + u.system) / 1000; };

for (const file of fs.readdirSync(rawDir).filter((f) => f.endsWith('-a.rgba')).sort()) {
  const stem = file.slice(0, -'-a.rgba'.length);
  const [w, h] = stem.split('-').pop().split('x').map(Number);
  const a = fs.readFileSync(`${rawDir}/${stem}-a.rgba`);
  const b = fs.readFileSync(`${rawDir}/${stem}-b.rgba`);
  const runs = w * h > 4e6 ? 3 : 10;
  for (const [includeAA, output] of [[false, false], [true, false], [false, true]]) {
    const out = output ? new Uint8Array(4 * w * h) : null;
    let best = Infinity, count = 0;
    for (let r = 0; r < runs; r++) {
      const t0 = cpuMs();
      count = pixelmatch(a, b, out, w, h, {threshold: 0.1, includeAA});
      best = Math.min(best, cpuMs() - t0);
    }
    console.log(JSON.stringify({version: label, pair: stem, includeAA, output, ms: best, count}));
  }
}
