// Contrast for 16-bit frames: histograms, percentile limits, the 16-to-8-bit mapping and its
// drawing into RGBA. Pure functions of their arguments, so the page and the unit tests agree.

export const FULL_SCALE = 65536;
export const DEFAULT_PERCENTILES = Object.freeze([0.1, 99.9]);
const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

// Counts of every raw value: one pass, and every later statistic of the frame reads only this.
export function histogram(pixels) {
  const counts = new Uint32Array(FULL_SCALE);
  for (let i = 0; i < pixels.length; i++) {
    counts[pixels[i]]++;
  }
  return counts;
}

export function totalCount(counts) {
  let total = 0;
  for (let v = 0; v < counts.length; v++) {
    total += counts[v];
  }
  return total;
}

// The raw value at 0-based rank `rank` of the sorted pixels.
export function valueAtRank(counts, rank) {
  let seen = 0;
  for (let v = 0; v < counts.length; v++) {
    seen += counts[v];
    if (seen > rank) {
      return v;
    }
  }
  return counts.length - 1;
}

// Limits that leave out `low` percent of the pixels below and 100 - `high` percent above. The
// low rank rounds down and the high rank up, so the limits always enclose the central share.
export function percentileLimits(counts, low, high) {
  const total = totalCount(counts);
  if (total === 0) {
    return { lo: 0, hi: FULL_SCALE - 1 };
  }
  // A percentage such as 99.9 has no exact binary form: a rank a hair off a whole number is
  // taken as that number, or 99.9 % of 1001 pixels would round up past the 1000th.
  const rank = (p) => {
    const exact = (Math.min(100, Math.max(0, p)) / 100) * (total - 1);
    const whole = Math.round(exact);
    return Math.abs(exact - whole) < 1e-9 * Math.max(1, total) ? whole : exact;
  };
  const loRank = Math.floor(rank(low));
  const hiRank = Math.ceil(rank(Math.max(low, high)));
  return { lo: valueAtRank(counts, loRank), hi: valueAtRank(counts, hiRank) };
}

export function minMaxLimits(counts) {
  return percentileLimits(counts, 0, 100);
}

// One raw value to 8 bits: linear from lo (0) to hi (255), clamped, then the power `gamma`
// (below 1 brightens the darks). When hi <= lo the mapping is a threshold at lo.
export function mapValue(value, lo, hi, gamma) {
  let t;
  if (hi <= lo) {
    t = value > lo ? 1 : 0;
  } else {
    t = Math.min(1, Math.max(0, (value - lo) / (hi - lo)));
  }
  if (gamma !== 1 && t > 0 && t < 1) {
    t = Math.pow(t, gamma);
  }
  return Math.round(t * 255);
}

// The mapping for every raw value at once: drawing then costs one table look-up per pixel.
export function lookupTable(lo, hi, gamma) {
  const table = new Uint8Array(FULL_SCALE);
  for (let v = 0; v < FULL_SCALE; v++) {
    table[v] = mapValue(v, lo, hi, gamma);
  }
  return table;
}

// Grey RGBA pixels for ImageData. `rgba` is a Uint8ClampedArray of 4 bytes per pixel. Each
// pixel is written as one 32-bit word from a table of whole grey pixels: a 2048 x 2048 frame
// then costs one look-up and one store per pixel.
export function renderGrey(pixels, table, rgba) {
  const words = new Uint32Array(rgba.buffer, rgba.byteOffset, pixels.length);
  const grey = greyWords(table);
  for (let i = 0; i < pixels.length; i++) {
    words[i] = grey[pixels[i]];
  }
}

let greyCache = { table: null, words: null };

// The opaque grey pixel of every table entry, as the 32-bit word that holds its RGBA bytes.
function greyWords(table) {
  if (greyCache.table !== table) {
    const words = new Uint32Array(table.length);
    for (let v = 0; v < table.length; v++) {
      const g = table[v];
      words[v] = LITTLE_ENDIAN
        ? (0xff000000 | (g << 16) | (g << 8) | g) >>> 0
        : ((g << 24) | (g << 16) | (g << 8) | 0xff) >>> 0;
    }
    greyCache = { table, words };
  }
  return greyCache.words;
}

// Raw frame bytes (little-endian uint16) as values, whatever the byte order of this machine.
export function decodeRaw(buffer) {
  const count = buffer.byteLength >> 1;
  if (LITTLE_ENDIAN) {
    return new Uint16Array(buffer, 0, count);
  }
  const view = new DataView(buffer);
  const values = new Uint16Array(count);
  for (let i = 0; i < count; i++) {
    values[i] = view.getUint16(i * 2, true);
  }
  return values;
}

// The histogram as `bins` bars over the raw values [from, to], for drawing. Bar i holds the
// values from + i*w up to from + (i+1)*w (w = (to - from + 1) / bins).
export function binCounts(counts, from, to, bins) {
  const bars = new Float64Array(bins);
  const span = to - from + 1;
  for (let v = Math.max(0, from); v <= Math.min(to, counts.length - 1); v++) {
    if (counts[v] !== 0) {
      bars[Math.min(bins - 1, Math.floor(((v - from) * bins) / span))] += counts[v];
    }
  }
  return bars;
}

// The raw range a histogram shows: the frame's own values and the limits, with room around
// them so that marks at the ends can still be grabbed.
export function histogramRange(counts, lo, hi) {
  const { lo: min, hi: max } = minMaxLimits(counts);
  let from = Math.min(min, lo);
  let to = Math.max(max, hi);
  const margin = Math.max(1, Math.round((to - from) * 0.02));
  from = Math.max(0, from - margin);
  to = Math.min(FULL_SCALE - 1, to + margin);
  return { from, to };
}
