// Counts of pixelmatch for the oracle test: reads {"dir": "...", "cases":
// [{"a": path, "b": path, "threshold": t, "includeAA": bool}]} on stdin,
// where dir is the folder of an npm install of pixelmatch and pngjs, and
// prints one count per case as a JSON array.
import fs from 'fs';
import {createRequire} from 'module';
import {pathToFileURL} from 'url';

const input = JSON.parse(fs.readFileSync(0, 'utf8'));
const require = createRequire(input.dir + '/');
const {PNG} = require('pngjs');
const pixelmatch = (await import(pathToFileURL(input.dir + '/node_modules/pixelmatch/index.js'))).default;

const images = new Map();
const read = (path) => {
  if (!images.has(path)) images.set(path, PNG.sync.read(fs.readFileSync(path)));
  return images.get(path);
};
const counts = input.cases.map(({a, b, threshold, includeAA}) => {
  const x = read(a), y = read(b);
  return pixelmatch(x.data, y.data, null, x.width, x.height, {threshold, includeAA});
});
process.stdout.write(JSON.stringify(counts) + '\n');
