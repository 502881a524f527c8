// node perceptual_fuzz.mjs PROBE PLUGIN_DIR [SEED [PAIRS [BAND_ROWS]]]
//
// Run by hand (minutes): random small pairs (palettes, edges, grey slopes,
// dark colours, small and large changes) through pixelmatch 7.1 (yiq) and
// 8.0 (oklab) from ${DIFFMARK_NPM_CACHE:-~/.cache/diffmark-npm} and through
// perceptual_probe, at several thresholds, with and without anti-aliasing
// detection; counts and overlay pictures (darker pixels in blue) must agree.
// Prints the first failures and saves their pairs in the temp folder.
import fs from 'fs'; import os from 'os'; import path from 'path'; import {execFileSync} from 'child_process';
import {createRequire} from 'module'; import {pathToFileURL} from 'url';
const C = process.env.DIFFMARK_NPM_CACHE || path.join(os.homedir(), '.cache/diffmark-npm');
const require = createRequire(C + '/pixelmatch7/');
const {PNG} = require(C + '/pixelmatch7/node_modules/pngjs');
const pm7 = (await import(pathToFileURL(C + '/pixelmatch7/node_modules/pixelmatch/index.js'))).default;
const pm8 = (await import(pathToFileURL(C + '/pixelmatch8/node_modules/pixelmatch/index.js'))).default;
const [PROBE, PLUG] = process.argv.slice(2, 4);
const TMP = fs.mkdtempSync(path.join(os.tmpdir(), 'perceptual-fuzz-'));
let seed = +(process.argv[4] || 1); const N = +(process.argv[5] || 100); const band = process.argv[6];
const rnd = (n) => { seed = (seed * 1103515245 + 12345) & 0x7fffffff; return (seed >> 8) % n; };
function writePng(path, data, w, h) { const p = new PNG({width: w, height: h}); data.copy ? data.copy(p.data) : p.data.set(data); fs.writeFileSync(path, PNG.sync.write(p, {colorType: 2})); }
function makePair() {
  const w = 1 + rnd(rnd(2) ? 8 : 24), h = 1 + rnd(rnd(2) ? 8 : 24);
  const pal = []; const np = 2 + rnd(4); for (let k = 0; k < np; k++) pal.push([rnd(256), rnd(256), rnd(256)]);
  if (rnd(2)) { pal[0] = [255,255,255]; pal[1] = [0,0,0]; }
  const a = new Uint8Array(4 * w * h);
  const mode = rnd(4);
  for (let y = 0; y < h; y++) for (let x = 0; x < w; x++) {
    let c;
    if (mode === 0) c = pal[rnd(np)];
    else if (mode === 1) c = pal[(x > w / 2 + (y % 3) - 1) ? 1 : 0];
    else if (mode === 3) c = [rnd(48), rnd(48), rnd(48)];
    else { const t = Math.min(255, Math.max(0, Math.round((x - w / 2) * 60 + rnd(20)))); c = [t, t, t]; }
    if (rnd(10) === 0) c = [rnd(256), rnd(256), rnd(256)];
    a.set([...c, 255], 4 * (y * w + x));
  }
  const b = a.slice();
  const changes = rnd(3) === 0 ? 0 : 1 + rnd(w * h);
  for (let k = 0; k < changes; k++) {
    const i = rnd(w * h); const kind = rnd(5);
    if (kind === 0) b.set([rnd(256), rnd(256), rnd(256)], 4 * i);
    else if (kind === 1) { const c = pal[rnd(np)]; b.set(c, 4 * i); }
    else if (kind === 2) { for (let ch = 0; ch < 3; ch++) b[4 * i + ch] = Math.max(0, Math.min(255, b[4 * i + ch] + rnd(41) - 20)); }
    else if (kind === 4) { const k = 1 + rnd(9); for (let ch = 0; ch < 3; ch++) b[4 * i + ch] = Math.max(0, Math.min(255, b[4 * i + ch] + rnd(2 * k + 1) - k)); }
    else { const j = Math.min(w * h - 1, i + 1); b.set(a.slice(4 * j, 4 * j + 3), 4 * i); }
  }
  return {w, h, a, b};
}
let fails = 0, cases = 0;
for (let n = 0; n < N; n++) {
  const {w, h, a, b} = makePair();
  writePng(TMP + '/fa.png', a, w, h); writePng(TMP + '/fb.png', b, w, h);
  for (const [ver, pm, metric] of [[7, pm7, 'yiq'], [8, pm8, 'oklab']]) {
    for (const t of [0, 0.05, 0.07, 0.1, 0.3]) for (const aa of [false, true]) {
      cases++;
      const out = new Uint8Array(4 * w * h);
      const count = pm(a, b, out, w, h, {threshold: t, includeAA: !aa, diffColorAlt: [0, 0, 255]});
      const args = [PLUG, TMP + '/fa.png', TMP + '/fb.png', '--metric', metric, '--threshold', String(t), '--darker-blue', '--overlay', TMP + '/fo.ppm'];
      if (aa) args.push('--aa'); if (band) args.push('--band', band);
      const res = JSON.parse(execFileSync(PROBE, args).toString());
      const ppm = fs.readFileSync(TMP + '/fo.ppm'); const px = ppm.subarray(ppm.length - 3 * w * h);
      let bad = -1; for (let i = 0; i < w * h; i++) if (px[3*i] !== out[4*i] || px[3*i+1] !== out[4*i+1] || px[3*i+2] !== out[4*i+2]) { bad = i; break; }
      if (res.differing !== count || bad >= 0) {
        fails++;
        if (fails <= 5) { console.log(`FAIL v${ver} t=${t} aa=${aa} ${w}x${h} oracle=${count} probe=${res.differing}/${res.antialiased} firstbadpx=${bad}`, bad>=0 ? [[...out.slice(4*bad,4*bad+3)],[...px.slice(3*bad,3*bad+3)], 'a', [...a.slice(4*bad,4*bad+3)], 'b', [...b.slice(4*bad,4*bad+3)]] : '');
          fs.copyFileSync(TMP + '/fa.png', `${TMP}/fail${fails}a.png`); fs.copyFileSync(TMP + '/fb.png', `${TMP}/fail${fails}b.png`); }
      }
    }
  }
}
console.log(`${cases - fails} passed, ${fails} failed`);
if (fails === 0) fs.rmSync(TMP, {recursive: true});
process.exitCode = fails ? 1 : 0;
