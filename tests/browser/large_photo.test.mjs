// vivanto serve's page on a large photo (scripts/browser_test.sh starts one
// on a 6000 x 4000 16-bit TIFF): how soon a slider move shows, at a window
// of 1400 x 900 and at one large enough for a 2000 px preview, and how long
// the loupe takes; printed, with a generous sanity bound only.
//
//   VIVANTO_SERVE_URL, VIVANTO_ARTEFACTS, CHROMIUM   as for serve.test.mjs
import assert from "node:assert/strict";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { after, before, describe, it } from "node:test";
import { chromium } from "playwright-core";
import { assertFits, frameTimes, layout, settled, timeout } from "./page_tools.mjs";

const serverUrl = process.env.VIVANTO_SERVE_URL;
const artefacts = process.env.VIVANTO_ARTEFACTS ?? path.dirname(fileURLToPath(import.meta.url));

let browser;
let page;

before(async () => {
  assert.ok(serverUrl, "set VIVANTO_SERVE_URL to the server's address");
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
  await page.goto(serverUrl);
  await page.waitForSelector("body[data-ready=true]", { timeout: 120000 });
});

after(async () => {
  await browser?.close();
});

describe("vivanto serve on a 24 MP photo", () => {
  for (const [width, height, name] of [[1400, 900, "window"], [2700, 1600, "2000px"]]) {
    it(`keeps up with a slider in a ${width} x ${height} window`, async () => {
      await page.setViewportSize({ width, height });
      await page.waitForFunction((w) => innerWidth === w, width, { timeout });
      await page.waitForTimeout(300); // the resize's frames asked for and drawn
      await settled(page);
      assertFits(await layout(page));
      const times = await frameTimes(page, "Pop the reds and greens");
      assert.ok(times.frame.median < 5000, "a sanity bound only");
      // The scope follows each frame from the preview of that frame's side,
      // and ends on the sharp one's.
      await page.waitForFunction(() => document.getElementById("scope").dataset.loading === "false", null, { timeout });
      const scopeSides = await page.evaluate(() => performance.getEntriesByType("resource")
        .filter((entry) => new URL(entry.name).pathname === "/api/scope")
        .map((entry) => Number(new URL(entry.name).searchParams.get("size"))));
      const sharpSide = Math.max(...times.size);
      const { quickSide, twoStep } = await page.evaluate(() => ({ quickSide, twoStep: twoStepFrames() }));
      assert.ok(scopeSides.length > 0);
      assert.equal(scopeSides.at(-1), sharpSide);
      assert.ok(scopeSides.every((side) => side === sharpSide || (twoStep && side === quickSide)),
        JSON.stringify(scopeSides));
      if (twoStep) assert.ok(scopeSides.includes(quickSide), JSON.stringify(scopeSides));
      await page.screenshot({ path: path.join(artefacts, `serve-24mp-${name}.png`) });
    });
  }

  it("opens the loupe on the photo's own pixels", async () => {
    await page.setViewportSize({ width: 1400, height: 900 });
    await settled(page);
    const view = await page.locator("#view").boundingBox();
    const started = Date.now();
    await page.mouse.click(view.x + view.width * 0.5, view.y + view.height * 0.5);
    await page.waitForFunction(() => Number(document.getElementById("loupe").dataset.renders) > 0, null,
      { timeout: 60000 });
    const opened = Date.now() - started;
    const again = await page.evaluate(async () => {
      const d = document.getElementById("loupe").dataset;
      const t = performance.now();
      await fetch(`/api/loupe?x=${d.x}&y=${d.y}&size=512&format=rgba`);
      return performance.now() - t;
    });
    console.log(`loupe on the 24 MP photo: first opened in ${opened} ms (the file opened for crops), `
      + `a 512 x 512 crop through the stage then takes ${again.toFixed(0)} ms`);
    await page.screenshot({ path: path.join(artefacts, "serve-24mp-loupe.png") });
    await page.keyboard.press("Escape");
  });
});
