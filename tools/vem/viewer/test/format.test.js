// Unit tests of deep links, the list filter, sizes, durations, frame rates and number parsing.
import { test } from "node:test";
import assert from "node:assert/strict";

import {
  formatBytes,
  formatHash,
  formatSeconds,
  frameRateFromElapsed,
  nameMatches,
  parseHash,
  parseWhole,
} from "../format.js";

test("deep links: parsed parts, malformed ones left out", () => {
  const cases = [
    ["#movie=1-sim&frame=5&lo=10&hi=2000", { movie: "1-sim", frame: 5, lo: 10, hi: 2000 }],
    ["movie=a%26b%3Dc%20%23&frame=0", { movie: "a&b=c #", frame: 0 }],
    ["#movie=%CE%B1%CE%B2", { movie: "\u03b1\u03b2" }],
    ["#frame=x&lo=-1&hi=65536&gamma=0", {}],
    ["#movie=&frame=3", { frame: 3 }],
    ["#movie=%E0%A4&frame=2", { frame: 2 }], // broken percent-encoding: that part is dropped
    ["#gamma=0.5&unknown=1&=x&novalue", { gamma: 0.5 }],
    ["", {}],
  ];
  for (const [hash, expected] of cases) {
    assert.deepEqual(parseHash(hash), expected, hash);
  }
});

test("deep links round-trip, names with any character included", () => {
  for (const view of [
    { movie: "12-run a&b=#?%", frame: 7, lo: 0, hi: 65535 },
    { movie: "3-\u65e5\u672c", frame: 0 },
    { movie: "1-sim", frame: 2, lo: 5, hi: 9, gamma: 2.2 },
  ]) {
    assert.deepEqual(parseHash(formatHash(view)), view);
  }
  assert.equal(formatHash({ movie: "1-x", frame: 1, gamma: 1 }), "#movie=1-x&frame=1");
});

test("filter: substring, or glob with * and ?, ignoring case", () => {
  const cases = [
    ["12-Run_A", "", true],
    ["12-Run_A", "run", true],
    ["12-Run_A", "walk", false],
    ["12-Run_A", "12-run*", true],
    ["12-Run_A", "run*", false], // a glob matches the whole name
    ["12-Run_A", "*run_?", true],
    ["1-a.b", "*.b", true],
    ["1-axb", "*.b", false], // the dot is no wildcard
    ["1-(x)", "*(x)", true],
  ];
  for (const [name, filter, expected] of cases) {
    assert.equal(nameMatches(name, filter), expected, `${name} ~ ${filter}`);
  }
});

test("sizes and durations", () => {
  const cases = [
    [formatBytes(0), "0 B"],
    [formatBytes(1023), "1023 B"],
    [formatBytes(1536), "1.5 KiB"],
    [formatBytes(184320000), "176 MiB"],
    [formatSeconds(0.0083), "0.008 s"],
    [formatSeconds(59.9994), "59.999 s"],
    [formatSeconds(125.25), "2:05.3"],
    [formatSeconds(3725), "1:02:05.0"],
    [formatSeconds(NaN), ""],
  ];
  for (const [got, expected] of cases) {
    assert.equal(got, expected);
  }
});

test("frame rate from the median interval", () => {
  const cases = [
    [[], null],
    [[0], null],
    [[0, 0.008333, 0.016666, 0.024999], 1 / 0.008333],
    [[0, 0.1, 0.2, 5, 5.1], 10], // one long gap (dropped frames) does not move the median
    [[0, 0, 0, 1], null], // median interval 0
  ];
  for (const [elapsed, expected] of cases) {
    const rate = frameRateFromElapsed(elapsed);
    if (expected === null) {
      assert.equal(rate, null);
    } else {
      assert.ok(Math.abs(rate - expected) < 1e-6, `${rate} vs ${expected}`);
    }
  }
});

test("whole numbers in a range", () => {
  const cases = [
    ["12", 0, 20, 12],
    [" 0 ", 0, 20, 0],
    ["21", 0, 20, null],
    ["-1", 0, 20, null],
    ["1.5", 0, 20, null],
    ["1e3", 0, 5000, null],
    ["", 0, 20, null],
  ];
  for (const [text, min, max, expected] of cases) {
    assert.equal(parseWhole(text, min, max), expected, JSON.stringify(text));
  }
});
