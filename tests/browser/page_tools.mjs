// What the browser tests do to vivanto serve's page, shared by the test on
// the example chart and the timing on a large photo.
import assert from "node:assert/strict";

export const timeout = 20000;

export async function renders(page) {
  return page.evaluate(() => Number(document.getElementById("after").dataset.renders || 0));
}

// Resolves once the page has finished every edit and render it had to do
// after render number `rendersBefore`.
export async function renderedSince(page, rendersBefore) {
  await page.waitForFunction(
    (count) => Number(document.getElementById("after").dataset.renders) > count
      && document.body.dataset.busy === "false",
    rendersBefore, { timeout });
}

export async function settled(page) {
  await page.waitForFunction(() => document.body.dataset.busy === "false", null, { timeout });
}

// Where the view lies in the space for it, the frame's size, and the photo's.
export async function layout(page) {
  return page.evaluate(async () => {
    const box = (id) => {
      const r = document.getElementById(id).getBoundingClientRect();
      return { left: r.left, top: r.top, width: r.width, height: r.height };
    };
    const { photo } = await (await fetch("/api/options")).json();
    const after = document.getElementById("after");
    return { space: box("fit"), view: box("view"), frame: { width: after.width, height: after.height },
      photo, ratio: devicePixelRatio };
  });
}

// The view fills its space in one direction, keeps the photo's shape, and its
// frames are the size it shows in device pixels, within what the server offers.
export function assertFits({ space, view, frame, photo, ratio }) {
  assert.ok(view.width <= space.width + 0.5 && view.height <= space.height + 0.5, JSON.stringify({ space, view }));
  assert.ok(Math.abs(view.width - space.width) <= 1 || Math.abs(view.height - space.height) <= 1,
    `the view ${view.width} x ${view.height} leaves room in both directions of ${space.width} x ${space.height}`);
  assert.ok(Math.abs(view.width / view.height - photo.width / photo.height) < 0.01, "the photo's shape");
  const shown = Math.ceil(Math.max(view.width, view.height) * ratio);
  const side = Math.min(photo.largestPreviewSide, Math.max(photo.smallestPreviewSide, shown));
  assert.equal(Math.max(frame.width, frame.height), side);
  assert.ok(Math.abs(frame.width / frame.height - photo.width / photo.height) < 0.01);
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

// `moves` slider moves of one step each, by keyboard (one input event each),
// every one waited for: the time from the input event to the animation frame
// after its frame was drawn (the page's own vivanto-frame measures), and the
// preview requests' own times as the Performance API saw them.
export async function frameTimes(page, label, moves = 20) {
  const slider = page.getByLabel(label, { exact: true });
  await slider.focus();
  // Back and forth by one step, first away from the end the slider is at.
  const atLowest = Number(await slider.inputValue()) <= Number(await slider.getAttribute("min"));
  const keys = atLowest ? ["ArrowRight", "ArrowLeft"] : ["ArrowLeft", "ArrowRight"];
  await page.evaluate(() => { performance.clearMeasures("vivanto-frame"); performance.clearResourceTimings(); });
  for (let move = 0; move < moves; move++) {
    const count = await renders(page);
    await page.keyboard.press(keys[move % 2]);
    await renderedSince(page, count);
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => setTimeout(resolve, 0))));
  }
  const seen = await page.evaluate(() => ({
    frames: performance.getEntriesByName("vivanto-frame").map((entry) => entry.duration),
    sharpFrames: performance.getEntriesByName("vivanto-sharp-frame").map((entry) => entry.duration),
    quickShown: document.getElementById("after-quick").classList.contains("showing"),
    previews: performance.getEntriesByType("resource")
      .filter((entry) => new URL(entry.name).pathname === "/api/preview")
      .map((entry) => ({
        side: Number(new URL(entry.name).searchParams.get("size")),
        fetch: entry.responseEnd - entry.requestStart,
        server: Object.fromEntries(entry.serverTiming.map((step) => [step.name, step.duration])),
      })),
    edits: performance.getEntriesByType("resource")
      .filter((entry) => new URL(entry.name).pathname === "/api/edit")
      .map((entry) => entry.responseEnd - entry.requestStart),
    frame: [document.getElementById("after").width, document.getElementById("after").height],
  }));
  assert.equal(seen.frames.length, moves, "one frame for every move");
  // Frames larger than the page's quick side come first at that side, then
  // sharp; once the page has settled, the sharp one is what it shows.
  const { quickSide, twoStep } = await page.evaluate(() => ({ quickSide, twoStep: twoStepFrames() }));
  const sharpSide = Math.max(...seen.frame);
  assert.equal(seen.sharpFrames.length, twoStep ? moves : 0, "a sharp frame after every quick one");
  assert.equal(seen.quickShown, false, "the sharp frame shown once settled");
  const quick = seen.previews.filter((p) => p.side === quickSide && twoStep);
  const sharp = seen.previews.filter((p) => p.side === sharpSide);
  assert.equal(quick.length + sharp.length, seen.previews.length, "previews of the two sides only");
  const stats = (values) => ({
    median: median(values), min: Math.min(...values), max: Math.max(...values),
  });
  const result = {
    frame: stats(seen.frames),
    edit: stats(seen.edits),
    preview: stats(sharp.map((p) => p.fetch)),
    stage: stats(sharp.map((p) => p.server.stage ?? 0)),
    back: stats(sharp.map((p) => p.server.back ?? 0)),
    size: seen.frame,
  };
  if (twoStep) {
    result.sharpFrame = stats(seen.sharpFrames);
    result.quickPreview = stats(quick.map((p) => p.fetch));
  }
  const ms = ({ median: m, min, max }) => `${m.toFixed(1)} ms (${min.toFixed(1)}–${max.toFixed(1)})`;
  console.log(`frame time, ${result.size[0]} x ${result.size[1]} px preview, ${moves} moves: `
    + `slider input to frame painted ${ms(result.frame)}; edit request ${ms(result.edit)}; `
    + `preview request ${ms(result.preview)}, of which stage ${ms(result.stage)} and the way back `
    + `${ms(result.back)} (thread time)`
    + (twoStep ? `; first at ${quickSide} px (preview request ${ms(result.quickPreview)}), `
      + `the sharp frame painted ${ms(result.sharpFrame)} after the input` : ""));
  return result;
}
