// How the report page copes with many pairs: writes PAIRS small BMP pairs
// (half of them changed, in 40 folders), makes the report with
// diffmark-cli, opens it in headless Chromium (puppeteer-core from
// ${DIFFMARK_NPM_CACHE:-~/.cache/diffmark-npm}/puppeteer, as .ci/run
// installs it) and prints the time to open it and to apply each of a few
// filters (two animation frames included), and how many pairs had their
// views built.
//
// usage: node bench/report_page_bench.mjs DIFFMARK_CLI [PAIRS]   (default 2000)
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";

const cli = path.resolve(process.argv[2]);
const pairs = Number(process.argv[3] || 2000);
const cache = process.env.DIFFMARK_NPM_CACHE || path.join(os.homedir(), ".cache", "diffmark-npm");
const puppeteer = createRequire(path.join(cache, "puppeteer", "package.json"))("puppeteer-core");

function bmp(file, w, h, dark) {
  const row = Math.ceil((w * 3) / 4) * 4;
  const b = Buffer.alloc(54 + row * h, 210);
  b.fill(0, 0, 54);
  b.write("BM", 0);
  b.writeUInt32LE(b.length, 2);
  b.writeUInt32LE(54, 10);
  b.writeUInt32LE(40, 14);
  b.writeInt32LE(w, 18);
  b.writeInt32LE(h, 22);
  b.writeUInt16LE(1, 26);
  b.writeUInt16LE(24, 28);
  for (const [x, y] of dark) b.fill(0, 54 + (h - 1 - y) * row + x * 3, 54 + (h - 1 - y) * row + x * 3 + 3);
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, b);
}

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "diffmark-report-bench-"));
try {
  for (let i = 0; i < pairs; i++) {
    const name = `dir${String(i % 40).padStart(2, "0")}/shot${String(i).padStart(5, "0")}.bmp`;
    bmp(`${tmp}/base/${name}`, 64, 48, []);
    const dark = [];
    if (i % 2 === 0) for (let x = 0; x <= i % 60; x++) dark.push([x, Math.floor(i / 60) % 48]);
    bmp(`${tmp}/other/${name}`, 64, 48, dark);
  }
  const run = spawnSync(cli, ["-q", "base", "other", "--report", "report.html"], { cwd: tmp });
  if (run.status !== 1) throw new Error(`diffmark-cli exit status ${run.status}: ${run.stderr}`);
  const browser = await puppeteer.launch({
    executablePath: process.env.DIFFMARK_CHROMIUM || "/usr/bin/chromium", headless: true,
    userDataDir: path.join(tmp, "profile"),
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
    defaultViewport: { width: 1280, height: 900 },
  });
  try {
    const page = await browser.newPage();
    await page.goto(`file://${tmp}/report.html`, { waitUntil: "load" });
    const open = await page.evaluate(() => performance.getEntriesByType("navigation")[0].loadEventEnd);
    const result = await page.evaluate(async () => {
      const input = document.getElementById("filter");
      const times = {};
      for (const q of ["dir07", "shot1", "", "nothing", ""]) {
        const start = performance.now();
        input.value = q;
        input.dispatchEvent(new Event("input"));
        await new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)));
        times[q === "" ? `(cleared ${Object.keys(times).length})` : q] = Math.round(performance.now() - start);
      }
      return { times, pairs: document.querySelectorAll(".pair[data-i]").length,
               built: document.querySelectorAll(".viewer .tools").length,
               elements: document.getElementsByTagName("*").length };
    });
    const bytes = fs.statSync(`${tmp}/report.html`).size;
    console.log(`${result.pairs} pairs, page ${(bytes / 1e6).toFixed(2)} MB, ${result.elements} elements, ` +
                `${result.built} pairs built`);
    console.log(`opened (load event) in ${Math.round(open)} ms`);
    for (const [q, ms] of Object.entries(result.times)) console.log(`filter ${JSON.stringify(q)}: ${ms} ms`);
  } finally {
    await browser.close();
  }
} finally {
  fs.rmSync(tmp, { recursive: true, force: true });
}
