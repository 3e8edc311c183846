// Unit tests of the contrast mapping, percentile limits, histogram bars and raw decoding.
import { test } from "node:test";
import assert from "node:assert/strict";

import {
  binCounts,
  decodeRaw,
  histogram,
  histogramRange,
  lookupTable,
  mapValue,
  minMaxLimits,
  percentileLimits,
  renderGrey,
} from "../contrast.js";

// The pixels 0, 1, ..., n-1 in a shuffled order: percentiles then have known answers.
function ramp(n) {
  const pixels = new Uint16Array(n);
  for (let i = 0; i < n; i++) {
    pixels[i] = (i * 7919) % n;
  }
  return pixels;
}

test("percentile limits by rank: low rounds down, high rounds up", () => {
  const cases = [
    // pixels, low %, high %, expected lo, hi
    [ramp(1001), 0.1, 99.9, 1, 999],
    [ramp(1001), 0, 100, 0, 1000],
    [ramp(1000), 0.1, 99.9, 0, 999], // ranks 0.999 -> 0 and 998.001 -> 999
    [ramp(1000), 50, 50, 499, 500],
    [new Uint16Array([7, 7, 7, 7]), 0.1, 99.9, 7, 7],
    [new Uint16Array([65535, 0]), 0, 100, 0, 65535],
    [new Uint16Array([3]), 0.1, 99.9, 3, 3],
    [ramp(1001), -5, 150, 0, 1000], // out-of-range percentages are clamped
    [ramp(1001), 60, 40, 600, 600], // high below low collapses onto low
  ];
  for (const [pixels, low, high, lo, hi] of cases) {
    assert.deepEqual(percentileLimits(histogram(pixels), low, high), { lo, hi }, `${low}-${high}`);
  }
});

test("an empty frame gives the full range, and min-max is the 0-100 percentile", () => {
  assert.deepEqual(percentileLimits(histogram(new Uint16Array(0)), 0.1, 99.9), { lo: 0, hi: 65535 });
  assert.deepEqual(minMaxLimits(histogram(new Uint16Array([300, 12, 40000, 12]))), { lo: 12, hi: 40000 });
});

test("mapping: linear between the limits, clamped, gamma, threshold when hi <= lo", () => {
  const cases = [
    // value, lo, hi, gamma, expected 8-bit value
    [100, 100, 200, 1, 0],
    [200, 100, 200, 1, 255],
    [150, 100, 200, 1, 128], // 127.5 rounds up
    [50, 100, 200, 1, 0],
    [65535, 100, 200, 1, 255],
    [125, 100, 200, 2, 16], // 0.25^2 * 255 = 15.94
    [125, 100, 200, 0.5, 128], // 0.5 * 255 = 127.5
    [0, 0, 65535, 1, 0],
    [65535, 0, 65535, 1, 255],
    [100, 100, 100, 1, 0],
    [101, 100, 100, 1, 255],
    [150, 200, 100, 1, 0], // hi below lo: threshold at lo
  ];
  for (const [value, lo, hi, gamma, expected] of cases) {
    assert.equal(mapValue(value, lo, hi, gamma), expected, `${value} in ${lo}..${hi} ^${gamma}`);
  }
});

test("the lookup table and the drawn RGBA agree with mapValue for every value", () => {
  const table = lookupTable(1000, 60000, 0.7);
  const all = new Uint16Array(65536).map((_, v) => v);
  const rgba = new Uint8ClampedArray(all.length * 4);
  renderGrey(all, table, rgba);
  for (let v = 0; v < 65536; v += 13) {
    const g = mapValue(v, 1000, 60000, 0.7);
    assert.deepEqual([...rgba.subarray(v * 4, v * 4 + 4)], [g, g, g, 255], `value ${v}`);
  }
});

test("raw frames decode as little-endian uint16", () => {
  const bytes = new Uint8Array([0x34, 0x12, 0xff, 0xff, 0x00, 0x80]).buffer;
  assert.deepEqual([...decodeRaw(bytes)], [0x1234, 0xffff, 0x8000]);
});

test("histogram bars cover the range without losing or doubling a pixel", () => {
  const pixels = ramp(5000);
  const counts = histogram(pixels);
  for (const [from, to, bins] of [
    [0, 4999, 256],
    [0, 65535, 300],
    [100, 199, 100],
    [1000, 1003, 7],
  ]) {
    const bars = binCounts(counts, from, to, bins);
    const inside = Math.min(to, 4999) - from + 1;
    assert.equal(
      bars.reduce((a, b) => a + b, 0),
      inside,
      `${from}..${to} in ${bins}`,
    );
  }
  assert.deepEqual([...binCounts(counts, 0, 3, 2)], [2, 2]);
});

test("the histogram's range holds the frame and both limits, with a margin", () => {
  const counts = histogram(new Uint16Array([1000, 2000]));
  assert.deepEqual(histogramRange(counts, 1000, 2000), { from: 980, to: 2020 });
  assert.deepEqual(histogramRange(counts, 0, 65535), { from: 0, to: 65535 });
  assert.deepEqual(histogramRange(counts, 1500, 3000), { from: 960, to: 3040 });
});
