// The contrast controls: mode (auto percentiles, min-max, manual), limits, gamma, per-frame or
// fixed for all frames, and the histogram with draggable limit marks.

import {
  DEFAULT_PERCENTILES,
  FULL_SCALE,
  binCounts,
  histogramRange,
  lookupTable,
  mapValue,
  minMaxLimits,
  percentileLimits,
} from "./contrast.js";
import { parseWhole } from "./format.js";

const MARK_GRAB_PX = 12;

export function defaultContrast() {
  return {
    mode: "auto",
    pLow: DEFAULT_PERCENTILES[0],
    pHigh: DEFAULT_PERCENTILES[1],
    lo: 0,
    hi: FULL_SCALE - 1,
    gamma: 1,
    all: false,
  };
}

export class ContrastPanel {
  // `onChange` is called after any change made by the user, to redraw the frame.
  constructor(onChange) {
    this.onChange = onChange;
    this.state = defaultContrast();
    this.counts = null;
    this.range = { from: 0, to: FULL_SCALE - 1 };
    this.frozen = false;
    this.cachedTable = null;
    this.cachedKey = "";
    this.dragging = null;
    this.el = {};
    for (const id of [
      "histogram",
      "log",
      "apply-all",
      "mode",
      "reset",
      "p-low",
      "p-high",
      "lo",
      "hi",
      "gamma",
    ]) {
      this.el[id] = document.getElementById(id);
    }
    this.listen();
    this.show();
  }

  // Whether the limits are the user's or fixed for every frame: then they belong in a link.
  get fixed() {
    return this.state.mode === "manual" || this.state.all;
  }

  // A new frame is shown: its histogram sets the limits unless they are fixed.
  frameShown(counts) {
    this.counts = counts;
    if (!this.fixed || !this.frozen) {
      this.computeLimits();
    }
    this.range = histogramRange(counts, this.state.lo, this.state.hi);
    this.show();
    this.drawHistogram();
  }

  computeLimits() {
    if (!this.counts || this.state.mode === "manual") {
      return;
    }
    const limits =
      this.state.mode === "minmax"
        ? minMaxLimits(this.counts)
        : percentileLimits(this.counts, this.state.pLow, this.state.pHigh);
    this.state.lo = limits.lo;
    this.state.hi = limits.hi;
    this.frozen = this.state.all;
  }

  // The 16-to-8-bit table of the current limits and gamma, made again only when they change.
  table() {
    const key = `${this.state.lo}/${this.state.hi}/${this.state.gamma}`;
    if (key !== this.cachedKey) {
      this.cachedTable = lookupTable(this.state.lo, this.state.hi, this.state.gamma);
      this.cachedKey = key;
    }
    return this.cachedTable;
  }

  // Limits from a link: manual, as they were shared.
  setFromLink(view) {
    if (view.lo !== undefined && view.hi !== undefined) {
      this.state.mode = "manual";
      this.state.lo = Math.min(view.lo, view.hi);
      this.state.hi = Math.max(view.lo, view.hi);
    }
    if (view.gamma !== undefined) {
      this.state.gamma = view.gamma;
    }
    this.show();
  }

  // Applies the user's change: new limits now, on the frame shown.
  changed() {
    if (this.state.mode !== "manual") {
      this.frozen = false;
      this.computeLimits();
    }
    if (this.counts) {
      this.range = histogramRange(this.counts, this.state.lo, this.state.hi);
    }
    this.show();
    this.drawHistogram();
    this.onChange();
  }

  setManual(lo, hi) {
    this.state.mode = "manual";
    this.state.lo = Math.max(0, Math.min(lo, hi, FULL_SCALE - 1));
    this.state.hi = Math.min(FULL_SCALE - 1, Math.max(lo, hi, 0));
    this.changed();
  }

  show() {
    const s = this.state;
    this.el.mode.value = s.mode;
    this.el["apply-all"].checked = s.all;
    this.el["p-low"].value = s.pLow;
    this.el["p-high"].value = s.pHigh;
    document.getElementById("percentiles").hidden = s.mode !== "auto";
    // A box being typed in keeps its text until the user leaves it.
    for (const [id, value] of [
      ["lo", s.lo],
      ["hi", s.hi],
      ["gamma", s.gamma],
    ]) {
      if (document.activeElement !== this.el[id]) {
        this.el[id].value = value;
      }
    }
  }

  listen() {
    const el = this.el;
    el.mode.addEventListener("change", () => {
      this.state.mode = el.mode.value;
      this.changed();
    });
    el["apply-all"].addEventListener("change", () => {
      this.state.all = el["apply-all"].checked;
      this.frozen = this.state.all;
      this.changed();
    });
    for (const id of ["p-low", "p-high"]) {
      el[id].addEventListener("change", () => {
        const low = Number(el["p-low"].value);
        const high = Number(el["p-high"].value);
        if (el["p-low"].value !== "" && el["p-high"].value !== "" && low >= 0 && high <= 100 && low < high) {
          this.state.pLow = low;
          this.state.pHigh = high;
          this.state.mode = "auto";
        }
        this.changed();
      });
    }
    for (const id of ["lo", "hi"]) {
      el[id].addEventListener("change", () => {
        const lo = parseWhole(el.lo.value, 0, FULL_SCALE - 1);
        const hi = parseWhole(el.hi.value, 0, FULL_SCALE - 1);
        if (lo === null || hi === null) {
          this.show();
          return;
        }
        this.setManual(lo, hi);
      });
    }
    el.gamma.addEventListener("change", () => {
      const gamma = Number(el.gamma.value);
      if (el.gamma.value !== "" && gamma > 0 && gamma <= 20) {
        this.state.gamma = gamma;
      }
      this.changed();
    });
    el.reset.addEventListener("click", () => {
      this.state = defaultContrast();
      this.frozen = false;
      this.changed();
    });
    el.log.addEventListener("change", () => this.drawHistogram());
    this.listenMarks();
    new ResizeObserver(() => this.drawHistogram()).observe(el.histogram);
  }

  // Dragging a limit mark on the histogram sets that limit (and makes the limits manual).
  listenMarks() {
    const canvas = this.el.histogram;
    const valueAt = (event) => {
      const box = canvas.getBoundingClientRect();
      const t = Math.min(1, Math.max(0, (event.clientX - box.left) / box.width));
      return Math.round(this.range.from + t * (this.range.to - this.range.from));
    };
    const xOf = (value) => {
      const box = canvas.getBoundingClientRect();
      return ((value - this.range.from) / Math.max(1, this.range.to - this.range.from)) * box.width;
    };
    canvas.addEventListener("pointerdown", (event) => {
      const x = event.clientX - canvas.getBoundingClientRect().left;
      const toLo = Math.abs(x - xOf(this.state.lo));
      const toHi = Math.abs(x - xOf(this.state.hi));
      if (Math.min(toLo, toHi) > MARK_GRAB_PX) {
        return;
      }
      this.dragging = toLo < toHi || (toLo === toHi && x < xOf(this.state.lo)) ? "lo" : "hi";
      canvas.setPointerCapture(event.pointerId);
    });
    canvas.addEventListener("pointermove", (event) => {
      if (!this.dragging) {
        return;
      }
      // The axis stays put while dragging, so the mark follows the pointer exactly.
      const range = this.range;
      const value = valueAt(event);
      const lo = this.dragging === "lo" ? Math.min(value, this.state.hi) : this.state.lo;
      const hi = this.dragging === "hi" ? Math.max(value, this.state.lo) : this.state.hi;
      this.setManual(lo, hi);
      this.range = range;
      this.drawHistogram();
    });
    const stop = () => {
      this.dragging = null;
    };
    canvas.addEventListener("pointerup", stop);
    canvas.addEventListener("pointercancel", stop);
  }

  drawHistogram() {
    const canvas = this.el.histogram;
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    const g = canvas.getContext("2d");
    g.clearRect(0, 0, width, height);
    if (!this.counts) {
      return;
    }
    const { from, to } = this.range;
    const bins = Math.max(1, Math.min(Math.floor(width / (2 * ratio)), to - from + 1));
    const bars = binCounts(this.counts, from, to, bins);
    const log = this.el.log.checked;
    const scale = (c) => (log ? Math.log1p(c) : c);
    const top = Math.max(1, ...Array.from(bars, scale));
    g.fillStyle = "#8a909c";
    const barWidth = width / bins;
    for (let i = 0; i < bins; i++) {
      const h = (scale(bars[i]) / top) * (height - 4);
      g.fillRect(i * barWidth, height - h, Math.max(1, barWidth - ratio * 0.5), h);
    }
    const xOf = (v) => ((v - from) / Math.max(1, to - from)) * width;
    // The mapping itself, from black at lo to white at hi, bent by gamma.
    g.strokeStyle = "#d8dbe0";
    g.lineWidth = ratio;
    g.beginPath();
    const steps = 64;
    for (let i = 0; i <= steps; i++) {
      const v = this.state.lo + ((this.state.hi - this.state.lo) * i) / steps;
      const y =
        height - (mapValue(v, this.state.lo, this.state.hi, this.state.gamma) / 255) * (height - 2) - 1;
      g[i ? "lineTo" : "moveTo"](xOf(v), y);
    }
    g.stroke();
    g.fillStyle = "#4fa3ff";
    g.font = `${11 * ratio}px system-ui, sans-serif`;
    for (const [value, align] of [
      [this.state.lo, "left"],
      [this.state.hi, "right"],
    ]) {
      const x = Math.round(xOf(value));
      g.fillRect(x - ratio, 0, 2 * ratio, height);
      g.fillRect(x - 4 * ratio, 0, 8 * ratio, 6 * ratio);
      g.textAlign = align;
      g.fillText(String(value), x + (align === "left" ? 6 : -6) * ratio, 14 * ratio);
    }
  }
}
