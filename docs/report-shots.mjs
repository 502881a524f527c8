// The report's pictures for the documents: docs/report.png (the page as it
// opens) and docs/report-slider.png (the first pair's slider view, dragged
// to 40 %), in headless Chromium through puppeteer-core.  report-demo.sh
// runs it.
//   node docs/report-shots.mjs REPORT.html DOCS_DIR
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";

const [report, docs] = process.argv.slice(2).map((a) => path.resolve(a));
const cache = process.env.DIFFMARK_NPM_CACHE || path.join(os.homedir(), ".cache", "diffmark-npm");
const puppeteer = createRequire(path.join(cache, "puppeteer", "package.json"))("puppeteer-core");
const browser = await puppeteer.launch({
  executablePath: process.env.DIFFMARK_CHROMIUM || "/usr/bin/chromium", headless: true,
  userDataDir: path.join(path.dirname(report), "profile"),
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--hide-scrollbars"],
  defaultViewport: { width: 1280, height: 960 },
});
/* The pairs on the screen build their views once they are seen, after the load event. */
const decoded = async (page) => {
  await page.waitForSelector("article.pair img");
  await page.evaluate(() => Promise.all(Array.from(document.images).map((i) => {
    i.loading = "eager";
    return i.decode().catch(() => null);
  })));
  await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
};
try {
  const page = await browser.newPage();
  await page.goto(`file://${report}`, { waitUntil: "load" });
  await decoded(page);
  await page.screenshot({ path: path.join(docs, "report.png") });
  await page.keyboard.press("j");
  await page.keyboard.press("2");
  const stack = await (await page.$("article.current .stack")).boundingBox();
  await page.mouse.move(stack.x + stack.width / 2, stack.y + stack.height / 2);
  await page.mouse.down();
  await page.mouse.move(stack.x + stack.width * 0.4, stack.y + stack.height / 2, { steps: 4 });
  await page.mouse.up();
  await decoded(page);
  await (await page.$("article.current")).screenshot({ path: path.join(docs, "report-slider.png") });
} finally {
  await browser.close();
}
