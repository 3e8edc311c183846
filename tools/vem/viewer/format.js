// Text of the page that follows from data alone: the deep-link fragment, the list filter, sizes,
// durations, frame times and the movie's frame rate. Pure functions, unit-tested.

// "#movie=NAME&frame=I&lo=L&hi=H&gamma=G" to its parts; missing or malformed parts are left
// out rather than guessed (a frame "x" is no frame).
export function parseHash(hash) {
  const text = hash.startsWith("#") ? hash.slice(1) : hash;
  const view = {};
  for (const part of text.split("&")) {
    const eq = part.indexOf("=");
    if (eq <= 0) {
      continue;
    }
    const key = part.slice(0, eq);
    let value;
    try {
      value = decodeURIComponent(part.slice(eq + 1));
    } catch {
      continue;
    }
    if (key === "movie" && value !== "") {
      view.movie = value;
    } else if (key === "frame" && /^\d+$/.test(value)) {
      view.frame = Number(value);
    } else if ((key === "lo" || key === "hi") && /^\d+$/.test(value) && Number(value) < 65536) {
      view[key] = Number(value);
    } else if (key === "gamma" && value !== "" && Number(value) > 0) {
      view.gamma = Number(value);
    }
  }
  return view;
}

export function formatHash(view) {
  const parts = [];
  if (view.movie !== undefined) {
    parts.push(`movie=${encodeURIComponent(view.movie)}`);
  }
  for (const key of ["frame", "lo", "hi"]) {
    if (view[key] !== undefined) {
      parts.push(`${key}=${view[key]}`);
    }
  }
  if (view.gamma !== undefined && view.gamma !== 1) {
    parts.push(`gamma=${view.gamma}`);
  }
  return parts.length ? `#${parts.join("&")}` : "";
}

// The list filter: case-insensitive; with * or ? a glob on the whole name, else a substring.
export function nameMatches(name, filter) {
  const wanted = filter.trim().toLowerCase();
  if (wanted === "") {
    return true;
  }
  const lower = name.toLowerCase();
  if (!/[*?]/.test(wanted)) {
    return lower.includes(wanted);
  }
  const pattern = wanted
    .split("")
    .map((c) => (c === "*" ? ".*" : c === "?" ? "." : c.replace(/[.+^${}()|[\]\\]/g, "\\$&")))
    .join("");
  return new RegExp(`^${pattern}$`, "s").test(lower);
}

export function formatBytes(bytes) {
  const units = ["B", "KiB", "MiB", "GiB", "TiB", "PiB"];
  let value = bytes;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  return unit === 0 ? `${bytes} B` : `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
}

// Seconds as "1:02:03.5", "2:03.5" or "3.500 s".
export function formatSeconds(seconds) {
  if (!Number.isFinite(seconds)) {
    return "";
  }
  if (seconds < 60) {
    return `${seconds.toFixed(3)} s`;
  }
  const whole = Math.floor(seconds);
  const h = Math.floor(whole / 3600);
  const m = Math.floor((whole % 3600) / 60);
  const s = (seconds - h * 3600 - m * 60).toFixed(1).padStart(4, "0");
  return h > 0 ? `${h}:${String(m).padStart(2, "0")}:${s}` : `${m}:${s}`;
}

// Frames per second from the median interval between frame times (seconds since frame 0), as
// the rest of the tools define it: null below two frames or when that median is 0.
export function frameRateFromElapsed(elapsed) {
  if (elapsed.length < 2) {
    return null;
  }
  const steps = [];
  for (let i = 1; i < elapsed.length; i++) {
    steps.push(elapsed[i] - elapsed[i - 1]);
  }
  steps.sort((a, b) => a - b);
  const mid = steps.length >> 1;
  const median = steps.length % 2 ? steps[mid] : (steps[mid - 1] + steps[mid]) / 2;
  return median > 0 ? 1 / median : null;
}

// A whole number in [min, max] from text, or null: what the frame and limit boxes accept.
export function parseWhole(text, min, max) {
  const trimmed = String(text).trim();
  if (!/^-?\d+$/.test(trimmed)) {
    return null;
  }
  const value = Number(trimmed);
  return value < min || value > max ? null : value;
}
