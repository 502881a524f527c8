// diffmark-cli's HTML report driven in a real browser: Debian's headless
// Chromium through its DevTools protocol (puppeteer-core from npm, in
// ${DIFFMARK_NPM_CACHE:-~/.cache/diffmark-npm}/puppeteer; installed there
// when missing).  A folder pair written here (24-bit BMP) is compared with
// --report; on the page every view is switched, the slider dragged, the
// blend and toggle used, the list filtered and walked by keys, an anchor
// opened, three pairs accepted and approvals.json exported (a real download
// into a folder); then `diffmark-cli approve` applies it, and refuses
// approvals that lead out of the folders or name files changed since.
//
// usage: node report_browser_test.mjs DIFFMARK_CLI [SCREENSHOT_DIR]
import { execFileSync, spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";

const [cli, shots] = process.argv.slice(2).map((a) => path.resolve(a));
const chromium = process.env.DIFFMARK_CHROMIUM || "/usr/bin/chromium";
const failures = [];
function check(what, got, expected) {
  const g = JSON.stringify(got), e = JSON.stringify(expected);
  if (g !== e) failures.push(`${what}: got ${g}, expected ${e}`);
}

if (!fs.existsSync(chromium)) {
  console.log(`no browser at ${chromium} (Debian package chromium)`);
  process.exit(process.env.CI ? 1 : 77);
}
const cache = process.env.DIFFMARK_NPM_CACHE || path.join(os.homedir(), ".cache", "diffmark-npm");
const prefix = path.join(cache, "puppeteer");
if (!fs.existsSync(path.join(prefix, "node_modules", "puppeteer-core", "package.json"))) {
  const npm = spawnSync("npm", ["install", "--no-audit", "--no-fund", "--prefix", prefix, "puppeteer-core@24"],
                        { stdio: "inherit" });
  if (npm.status !== 0) {
    console.log(`puppeteer-core could not be installed into ${prefix}`);
    process.exit(1);
  }
}
const puppeteer = createRequire(path.join(prefix, "package.json"))("puppeteer-core");

/* A 24-bit BMP of w x h, the colour of each pixel from fill(x, y) -> [r, g, b]. */
function bmp(file, w, h, fill) {
  const row = Math.ceil((w * 3) / 4) * 4;
  const b = Buffer.alloc(54 + row * h);
  b.write("BM", 0);
  b.writeUInt32LE(b.length, 2);
  b.writeUInt32LE(54, 10);
  b.writeUInt32LE(40, 14);
  b.writeInt32LE(w, 18);
  b.writeInt32LE(h, 22);
  b.writeUInt16LE(1, 26);
  b.writeUInt16LE(24, 28);
  b.writeUInt32LE(row * h, 34);
  for (let y = 0; y < h; y++) {
    for (let x = 0; x < w; x++) {
      const [r, g, bl] = fill(x, y);
      const at = 54 + (h - 1 - y) * row + x * 3;
      b[at] = bl; b[at + 1] = g; b[at + 2] = r;
    }
  }
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, b);
}
const panel = (x0, y0, x1, y1, colour) => (x, y) =>
  x >= x0 && x <= x1 && y >= y0 && y <= y1 ? colour : [51, 102, 204];

/* FNV-1a 64, written apart from the program's. */
function fnv(file) {
  let h = 0xcbf29ce484222325n;
  for (const byte of fs.readFileSync(file)) h = BigInt.asUintN(64, (h ^ BigInt(byte)) * 0x100000001b3n);
  return h.toString(16).padStart(16, "0");
}
function run(args, cwd) {
  const r = spawnSync(cli, args, { cwd, encoding: "utf8" });
  return { status: r.status, out: r.stdout, err: r.stderr };
}
function folderPair(dir) {
  bmp(`${dir}/base/a.bmp`, 64, 40, panel(8, 8, 30, 20, [255, 255, 255]));
  bmp(`${dir}/other/a.bmp`, 64, 40, panel(14, 8, 36, 20, [255, 255, 255]));  /* the box moved */
  bmp(`${dir}/base/nested/b.bmp`, 48, 32, panel(4, 4, 10, 10, [255, 204, 0]));
  bmp(`${dir}/other/nested/b.bmp`, 48, 32, panel(4, 4, 11, 10, [255, 204, 0]));
  bmp(`${dir}/base/c.bmp`, 16, 16, panel(2, 2, 5, 5, [0, 0, 0]));
  bmp(`${dir}/other/c.bmp`, 16, 16, panel(2, 2, 5, 5, [0, 0, 0]));
  bmp(`${dir}/base/odd & <name>.bmp`, 20, 20, panel(2, 2, 5, 5, [0, 0, 0]));
  bmp(`${dir}/other/odd & <name>.bmp`, 20, 20, panel(2, 2, 9, 5, [0, 0, 0]));
  bmp(`${dir}/other/added.bmp`, 24, 16, panel(10, 2, 20, 12, [51, 170, 85]));
  bmp(`${dir}/base/removed.bmp`, 24, 16, panel(2, 2, 8, 8, [255, 204, 0]));
}
function files(dir) {
  const out = {};
  const walk = (d, rel) => {
    for (const e of fs.readdirSync(d, { withFileTypes: true })) {
      const p = path.join(d, e.name), r = rel ? `${rel}/${e.name}` : e.name;
      if (e.isSymbolicLink()) out[r] = `link to ${fs.readlinkSync(p)}`;
      else if (e.isDirectory()) walk(p, r);
      else out[r] = fs.readFileSync(p).toString("hex");
    }
  };
  walk(dir, "");
  return out;
}

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "diffmark-report-"));
const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  userDataDir: path.join(tmp, "profile"),
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync"],
  defaultViewport: { width: 1280, height: 900 },
});
try {
  folderPair(tmp);
  const report = run(["base", "other", "--ignore", "50,30,14,10", "--report", "report.html"], tmp);
  check("report run", report.status, 1);

  const page = await browser.newPage();
  const errors = [];
  page.on("pageerror", (e) => errors.push(String(e)));
  page.on("console", (m) => { if (m.type() === "error") errors.push(m.text()); });
  const requests = [];
  page.on("request", (r) => requests.push(r.url()));
  await page.goto(`file://${tmp}/report.html`, { waitUntil: "load" });

  const order = await page.$$eval("article.pair", (a) => a.map((e) => e.id));
  check("order: changed by share, added, removed", order,
        ["a.bmp", "odd & <name>.bmp", "nested/b.bmp", "added.bmp", "removed.bmp"]);
  check("equal ones folded", await page.$eval("details#group-equal", (d) => [d.open, d.querySelectorAll("li").length]),
        [false, 1]);

  /* Keys: j selects the first pair, its anchor goes to the address. */
  await page.keyboard.press("j");
  check("j: the first pair", await page.$eval("article.current", (a) => a.id), "a.bmp");
  check("its anchor", await page.evaluate(() => location.hash), "#a.bmp");
  const current = "article.current";
  const settle = () => page.evaluate(() => Promise.all(Array.from(document.querySelectorAll("article.current img"))
    .map((i) => i.decode().catch(() => null))));
  async function shot(name) {
    if (!shots) return;
    await settle();
    await (await page.$(current)).screenshot({ path: path.join(shots, name) });
  }

  /* 1: side by side, with the box and the ignored region drawn, and the crops. */
  await settle();
  check("side by side", await page.$eval(current, (a) => ({
    view: a.querySelector(".view").dataset.view,
    pictures: a.querySelectorAll(".view-sides img").length,
    decoded: Array.from(a.querySelectorAll("img")).every((i) => i.complete && i.naturalWidth > 0),
    boxes: a.querySelectorAll(".view-sides .box").length,
    ignored: a.querySelectorAll(".view-sides .ignored").length,
    crops: a.querySelectorAll(".zoom img").length,
  })), { view: "sides", pictures: 3, decoded: true, boxes: 3, ignored: 3, crops: 3 });
  /* The box on the picture is where the differences are: x 8-36 of 64. */
  check("box placed", await page.$eval(`${current} .view-sides .box`, (b) => [b.style.left, b.style.width]),
        [`${100 * 8 / 64}%`, `${100 * 29 / 64}%`]);
  await shot("view-1-sides.png");

  /* 2: the slider, dragged with the mouse. */
  await page.keyboard.press("2");
  const stack = await page.$(`${current} .stack`);
  const box = await stack.boundingBox();
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.25, box.y + box.height / 2, { steps: 5 });
  await page.mouse.up();
  check("slider dragged", await page.$eval(`${current} .view`, (v) => [v.dataset.view, v.dataset.position,
        v.querySelector(".layer.other").style.clipPath]), ["slider", "25", "inset(0px 0px 0px 25%)"]);
  await shot("view-2-slider.png");

  /* 3: blend, its opacity from the range. */
  await page.keyboard.press("3");
  await page.$eval(`${current} .view input[type=range]`, (r) => {
    r.value = "30";
    r.dispatchEvent(new Event("input"));
  });
  check("blend", await page.$eval(`${current} .view`, (v) => [v.dataset.view,
        v.querySelector(".layer.other").style.opacity]), ["blend", "0.3"]);
  await shot("view-3-blend.png");

  /* 4: toggle; t and a click flip it. */
  await page.keyboard.press("4");
  const showing = () => page.$eval(`${current} .view`, (v) => [v.dataset.showing,
        v.querySelector(".layer.other").style.visibility]);
  check("toggle shows the base first", await showing(), ["base", "hidden"]);
  await page.keyboard.press("t");
  check("t flips", await showing(), ["other", "visible"]);
  await shot("view-4-toggle.png");
  await page.click(`${current} .stack`);
  check("a click flips back", await showing(), ["base", "hidden"]);

  /* 5: the marked picture alone. */
  await page.keyboard.press("5");
  check("marked only", await page.$eval(`${current} .view`, (v) => [v.dataset.view, v.querySelectorAll("img").length,
        v.querySelector("img").getAttribute("src")]), ["marked", 1, "report_files/0001-marked.png"]);
  await shot("view-5-marked.png");
  await page.keyboard.press("1");

  /* j and k walk the list; t from another view opens the toggle. */
  await page.keyboard.press("ArrowDown");
  check("down: the next pair", await page.$eval(current, (a) => a.id), "odd & <name>.bmp");
  check("its anchor, escaped", await page.evaluate(() => location.hash), "#odd%20%26%20%3Cname%3E.bmp");
  await page.keyboard.press("k");
  check("k: the previous pair", await page.$eval(current, (a) => a.id), "a.bmp");
  await page.keyboard.press("t");
  check("t opens the toggle", await page.$eval(`${current} .view`, (v) => v.dataset.view), "toggle");

  /* The filter hides what does not match, and j walks only what is shown. */
  await page.type("#filter", "NESTED");
  await page.waitForFunction(() => document.getElementById("shown").textContent !== "");
  check("filtered", await page.$$eval(".pair[data-i]", (a) => a.filter((e) => !e.hidden).map((e) => e.id)),
        ["nested/b.bmp"]);
  await page.$eval("#filter", (f) => f.blur());
  await page.keyboard.press("j");
  check("j within the filter", await page.$eval(current, (a) => a.id), "nested/b.bmp");
  await page.$eval("#filter", (f) => { f.value = ""; f.dispatchEvent(new Event("input")); });
  await page.waitForFunction(() => document.getElementById("shown").textContent === "");

  /* An anchor in the address opens that pair, even an equal one folded away. */
  await page.goto(`file://${tmp}/report.html#nested/b.bmp`, { waitUntil: "load" });
  check("anchor", await page.$eval(current, (a) => a.id), "nested/b.bmp");
  await page.goto(`file://${tmp}/report.html#c.bmp`, { waitUntil: "load" });
  check("anchor of an equal pair", await page.$eval("details#group-equal", (d) => d.open), true);

  /* The totals link to their groups; the equal ones unfold. */
  await page.goto(`file://${tmp}/report.html`, { waitUntil: "load" });
  await page.click('a[href="#group-equal"]');
  check("the equal total unfolds its group", await page.$eval("details#group-equal", (d) => d.open), true);

  /* Accept a changed, the added and the removed pair; export. */
  await page.goto(`file://${tmp}/report.html`, { waitUntil: "load" });
  for (const id of ["a.bmp", "added.bmp", "removed.bmp"]) {
    await page.evaluate((i) => window.diffmarkReport.select(document.getElementById(i), true), id);
    await page.keyboard.press("a");
  }
  check("accepted", await page.$$eval("article.accepted", (a) => a.map((e) => e.id)),
        ["a.bmp", "added.bmp", "removed.bmp"]);
  const downloads = path.join(tmp, "downloads");
  fs.mkdirSync(downloads);
  const session = await browser.target().createCDPSession();
  await session.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  await page.click("#export");
  const exported = path.join(downloads, "approvals.json");
  for (let i = 0; i < 100 && !fs.existsSync(exported); i++) await new Promise((r) => setTimeout(r, 100));
  const approvals = JSON.parse(fs.readFileSync(exported, "utf8"));
  const record = (side, p) => (fs.existsSync(`${tmp}/${side}/${p}`)
    ? { bytes: fs.statSync(`${tmp}/${side}/${p}`).size, fnv1a64: fnv(`${tmp}/${side}/${p}`) } : null);
  check("approvals.json", approvals.pairs, ["a.bmp", "added.bmp", "removed.bmp"].map((p) => ({
    path: p, status: p === "a.bmp" ? "changed" : p.replace(".bmp", ""), base: record("base", p), other: record("other", p),
  })));
  check("approvals.json says its hash", approvals.hash, "fnv1a64");
  check("no page errors", errors, []);
  check("nothing fetched from elsewhere", requests.filter((u) => !u.startsWith("file:") && !u.startsWith("blob:")), []);
  await page.close();

  /* approve applies it: the baseline follows. */
  const other = files(`${tmp}/other`);
  const approve = run(["approve", exported, "base", "other"], tmp);
  check("approve", [approve.status, approve.out, approve.err],
        [0, "updated  a.bmp\nadded    added.bmp\nremoved  removed.bmp\n", ""]);
  const base = files(`${tmp}/base`);
  check("base follows", [base["a.bmp"] === other["a.bmp"], base["added.bmp"] === other["added.bmp"],
        "removed.bmp" in base, base["nested/b.bmp"] === other["nested/b.bmp"]], [true, true, false, false]);
  check("other untouched", files(`${tmp}/other`), other);
  /* Again: the base is no longer what the report saw. */
  const again = run(["approve", exported, "base", "other"], tmp);
  check("approve twice", [again.status, again.err.split("\n").length],  [2, 2]);
  check("approve twice says why", again.err.includes("a.bmp") && again.err.includes("changed since the report"), true);

  /* Refused before anything is written: paths out of the folders, links
     out of them, files changed since the report. */
  fs.mkdirSync(`${tmp}/outside`);
  fs.symlinkSync(`${tmp}/outside`, `${tmp}/base/link`);
  fs.mkdirSync(`${tmp}/other/link`);
  bmp(`${tmp}/other/link/x.bmp`, 4, 4, () => [1, 2, 3]);
  const x = record("other", "link/x.bmp");
  const changed = { path: "nested/b.bmp", status: "changed", base: record("base", "nested/b.bmp"),
                    other: { bytes: 1, fnv1a64: "0000000000000000" } };
  const refusals = [
    [{ path: "../outside/x.bmp", status: "added", base: null, other: x }, "\"..\""],
    [{ path: "/etc/x.bmp", status: "added", base: null, other: x }, "relative"],
    [{ path: "nested/../x.bmp", status: "added", base: null, other: x }, "\"..\""],
    [{ path: "link/x.bmp", status: "added", base: null, other: x }, "symbolic link"],
    [changed, "changed since the report"],
    [{ path: "c.bmp", status: "removed", base: { bytes: 1, fnv1a64: "0000000000000000" }, other: null }, "c.bmp"],
  ];
  const before = files(`${tmp}/base`);
  for (const [entry, reason] of refusals) {
    fs.writeFileSync(`${tmp}/bad.json`, JSON.stringify({ diffmark_approvals: 1, hash: "fnv1a64",
      pairs: [{ path: "nested/b.bmp", status: "changed", base: record("base", "nested/b.bmp"),
                other: record("other", "nested/b.bmp") }, entry] }));
    const r = run(["approve", "bad.json", "base", "other"], tmp);
    check(`refused: ${entry.path}`, [r.status, r.out, r.err.split("\n").length, r.err.includes(reason)], [2, "", 2, true]);
  }
  check("refusals changed nothing", files(`${tmp}/base`), before);
  fs.rmSync(`${tmp}/outside`, { recursive: true });
  fs.unlinkSync(`${tmp}/base/link`);
  fs.rmSync(`${tmp}/other/link`, { recursive: true });
  check("a report page needs --all", run(["approve", "report.html", "base", "other"], tmp).status, 2);

  /* --all with the report page: every change accepted; then the folders compare equal. */
  const all = path.join(tmp, "all");
  folderPair(all);
  check("second report", run(["base", "other", "--report", "r.html"], all).status, 1);
  const accepted = run(["approve", "--all", "r.html", "base", "other"], all);
  check("approve --all", [accepted.status, accepted.out.split("\n").sort()],
        [0, ["", "added    added.bmp", "removed  removed.bmp", "updated  a.bmp", "updated  nested/b.bmp",
             "updated  odd & <name>.bmp"]]);
  check("then equal", run(["-q", "base", "other"], all).status, 0);
} finally {
  await browser.close();
  fs.rmSync(tmp, { recursive: true, force: true });
}
for (const f of failures) console.log(f);
process.exit(failures.length ? 1 : 0);
