// The viewer page: opens movies, shows and plays their frames, keeps the address's fragment,
// the page's stable attributes (body data-movie/-frame/-ready) and the controls in step.

import { histogram, decodeRaw } from "./contrast.js";
import { ContrastPanel } from "./contrast-panel.js";
import { FrameView } from "./frame-view.js";
import { MovieList, movieNumbers } from "./movie-list.js";
import { Details } from "./details.js";
import { frameBytes, infoSize, movieInfo, movieTimes } from "./api.js";
import { formatHash, frameRateFromElapsed, parseHash, parseWhole } from "./format.js";

// Frames requested ahead while playing: enough to keep the link busy while one is drawn.
const PLAY_AHEAD = 3;
const DEFAULT_RATE = 25;
const HASH_DELAY_MS = 400;

const $ = (id) => document.getElementById(id);
const body = document.body;

const current = {
  movie: null, // the listing's entry
  width: 0,
  height: 0,
  frames: 0,
  times: undefined, // [{frame, time, elapsed}]; null when the movie has none, undefined: loading
  shown: -1, // the frame on the canvas
  pixels: null,
  generation: 0, // bumped when another movie opens: late answers for the old one are dropped
};

const view = new FrameView($("viewport"), $("frame"), showReadout);
const contrast = new ContrastPanel(redraw);
const details = new Details();
const movies = new MovieList((movie) => openMovie(movie, { frame: 0 }), moviesChanged);

function message(text) {
  $("message").textContent = text;
}

function showReadout(pixel) {
  $("readout").textContent = pixel ? `${pixel.x} ${pixel.y} ${pixel.value}` : "";
}

// ---- opening a movie ----

async function openMovie(movie, link) {
  pause();
  const generation = ++current.generation;
  const { width, height, frames } = movieNumbers(movie);
  Object.assign(current, { movie, width, height, frames, times: undefined, shown: -1, pixels: null });
  body.dataset.movie = movie.name;
  body.dataset.ready = "0";
  delete body.dataset.frame;
  movies.select(movie.name);
  contrast.setFromLink(link);
  details.show(movie, null);
  $("placeholder").hidden = true;
  $("frame-slider").max = Math.max(0, frames - 1);
  $("frame-index").max = Math.max(0, frames - 1);
  $("frame-count").textContent = `/ ${Math.max(0, frames - 1)}`;
  $("frame-time").textContent = "";
  message(frames === 0 ? "This movie has no frames." : "");
  if (frames === 0) {
    view.clear();
    body.dataset.ready = "1";
  } else {
    showFrame(Math.min(link.frame || 0, frames - 1));
  }
  // Times and details arrive beside the first frame; they never hold it up.
  const [info, times, infoBytes] = await Promise.allSettled([
    movieInfo(movie.name),
    movieTimes(movie.name),
    infoSize(movie.name),
  ]);
  if (generation !== current.generation) {
    return;
  }
  current.times = times.status === "fulfilled" && Array.isArray(times.value) ? times.value : null;
  const elapsed = current.times ? current.times.map((t) => Number(t.elapsed)) : [];
  const infoValue = info.status === "fulfilled" ? info.value : null;
  const rate = (infoValue && infoValue.frame_rate) || frameRateFromElapsed(elapsed);
  $("rate").value = rate ? Number(rate.toFixed(3)) : DEFAULT_RATE;
  details.show(movie, infoBytes.status === "fulfilled" ? infoBytes.value : null, rate);
  showTime();
}

function moviesChanged() {
  if (current.movie) {
    const still = movies.find(current.movie.name);
    if (!still || still.time !== current.movie.time || still.size !== current.movie.size) {
      pause();
      current.generation++;
      message(`${current.movie.name} is no longer on the drive.`);
      current.movie = null;
      body.dataset.movie = "";
      details.show(null);
    }
    return;
  }
  // A link that named a movie before the list had it.
  const wanted = parseHash(location.hash);
  const movie = wanted.movie && movies.find(wanted.movie);
  if (movie) {
    openMovie(movie, wanted);
  } else if (wanted.movie) {
    message(`No movie named ${wanted.movie} on the drive.`);
  }
}

// ---- one frame ----

const loader = { wanted: null, busy: false };

// Shows frame `index` as soon as it arrives. While one is on its way, only the latest wish
// waits: dragging the slider never queues up frames nobody wants any more.
function showFrame(index) {
  if (!current.movie || current.frames === 0) {
    return;
  }
  loader.wanted = Math.max(0, Math.min(current.frames - 1, index));
  body.dataset.ready = "0";
  setFrameControls(loader.wanted);
  if (!loader.busy) {
    pumpFrames();
  }
}

async function pumpFrames() {
  loader.busy = true;
  while (loader.wanted !== null) {
    const index = loader.wanted;
    loader.wanted = null;
    const { generation, movie } = current;
    try {
      const bytes = await frameBytes(movie.name, index, current.width * current.height * 2);
      if (generation === current.generation) {
        display(index, bytes);
      }
    } catch (error) {
      if (generation === current.generation) {
        message(`Frame ${index}: ${error.message}`);
      }
    }
  }
  loader.busy = false;
}

function display(index, bytes) {
  const pixels = decodeRaw(bytes);
  current.pixels = pixels;
  current.shown = index;
  contrast.frameShown(histogram(pixels));
  view.draw(pixels, current.width, current.height, contrast.table());
  setFrameControls(index);
  showTime();
  details.frame(index);
  body.dataset.frame = String(index);
  body.dataset.drawn = String(Number(body.dataset.drawn || 0) + 1);
  if (loader.wanted === null) {
    body.dataset.ready = "1";
  }
  if (!playback.on) {
    message("");
  }
  scheduleHash();
}

// The contrast changed: the same frame again through the new table.
function redraw() {
  if (current.pixels) {
    view.draw(current.pixels, current.width, current.height, contrast.table());
  }
  scheduleHash();
}

function setFrameControls(index) {
  $("frame-slider").value = index;
  if (document.activeElement !== $("frame-index")) {
    $("frame-index").value = index;
  }
}

function showTime() {
  const entry = current.times && current.times[current.shown];
  if (current.shown < 0 || current.times === undefined) {
    $("frame-time").textContent = "";
  } else if (!entry) {
    $("frame-time").textContent = "time unknown";
  } else {
    $("frame-time").textContent = `${entry.time}  +${Number(entry.elapsed).toFixed(6)} s`;
  }
}

// ---- playing ----

const playback = { on: false, run: 0 };

function play() {
  if (!current.movie || current.frames < 2 || playback.on) {
    return;
  }
  playback.on = true;
  playback.run++;
  $("play").textContent = "Pause";
  $("play").setAttribute("aria-pressed", "true");
  playFrom(current.shown >= current.frames - 1 ? 0 : current.shown + 1, playback.run);
}

function pause() {
  playback.on = false;
  playback.run++;
  $("play").textContent = "Play";
  $("play").setAttribute("aria-pressed", "false");
  scheduleHash();
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Frames in order at the chosen rate, or as fast as the link brings them when that is slower.
// A few frames are always on their way, so fetching overlaps drawing.
async function playFrom(start, run) {
  const { generation, movie, frames } = current;
  const byteLength = current.width * current.height * 2;
  const ahead = new Map();
  const live = () => playback.on && playback.run === run && generation === current.generation;
  let due = performance.now();
  for (let index = start; index < frames && live(); index++) {
    for (let k = index; k < Math.min(frames, index + PLAY_AHEAD); k++) {
      if (!ahead.has(k)) {
        ahead.set(
          k,
          frameBytes(movie.name, k, byteLength).catch((error) => error),
        );
      }
    }
    const bytes = await ahead.get(index);
    ahead.delete(index);
    if (!live()) {
      break;
    }
    if (bytes instanceof Error) {
      message(`Frame ${index}: ${bytes.message}`);
      pause();
      break;
    }
    const interval = 1000 / Math.max(0.1, Number($("rate").value) || DEFAULT_RATE);
    const wait = due - performance.now();
    if (wait > 1) {
      await sleep(wait);
      if (!live()) {
        break;
      }
    }
    display(index, bytes);
    // A late frame moves the schedule rather than making the next ones hurry to catch up.
    due = Math.max(due, performance.now() - interval) + interval;
  }
  if (live()) {
    pause();
  }
}

// ---- the address ----

let hashTimer = 0;

// The fragment follows the view, a little behind it: browsers limit how often a page may
// rewrite its address.
function scheduleHash() {
  clearTimeout(hashTimer);
  if (playback.on) {
    return;
  }
  hashTimer = setTimeout(() => {
    if (!current.movie) {
      return;
    }
    const link = { movie: current.movie.name, frame: Math.max(0, current.shown) };
    if (contrast.fixed) {
      Object.assign(link, { lo: contrast.state.lo, hi: contrast.state.hi, gamma: contrast.state.gamma });
    }
    history.replaceState(null, "", formatHash(link) || location.pathname);
  }, HASH_DELAY_MS);
}

function followHash() {
  const link = parseHash(location.hash);
  const movie = link.movie && movies.find(link.movie);
  if (!movie) {
    return;
  }
  if (current.movie && movie.name === current.movie.name) {
    contrast.setFromLink(link);
    if (link.frame !== undefined) {
      showFrame(link.frame);
    } else {
      redraw();
    }
  } else {
    openMovie(movie, link);
  }
}

// ---- controls and keys ----

function step(delta) {
  pause();
  showFrame((loader.wanted ?? current.shown) + delta);
}

function listen() {
  $("play").addEventListener("click", () => (playback.on ? pause() : play()));
  $("first").addEventListener("click", () => step(-Infinity));
  $("last").addEventListener("click", () => step(Infinity));
  $("prev").addEventListener("click", () => step(-1));
  $("next").addEventListener("click", () => step(1));
  $("frame-slider").addEventListener("input", () => {
    pause();
    showFrame(Number($("frame-slider").value));
  });
  $("frame-index").addEventListener("change", () => {
    const index = parseWhole($("frame-index").value, 0, Math.max(0, current.frames - 1));
    if (index === null) {
      $("frame-index").value = Math.max(0, current.shown);
      return;
    }
    pause();
    showFrame(index);
  });
  $("zoom-fit").addEventListener("click", () => view.fit());
  $("zoom-1").addEventListener("click", () => view.oneToOne());
  $("viewport").addEventListener("zoomchange", (event) => {
    // In device pixels, so that 1:1 reads 100 % on any screen.
    $("zoom-level").textContent = `${Math.round(event.detail * (window.devicePixelRatio || 1) * 100)} %`;
  });
  window.addEventListener("hashchange", followHash);
  document.addEventListener("keydown", onKey);
}

const KEYS = {
  ArrowRight: (shift) => step(shift ? 10 : 1),
  ArrowLeft: (shift) => step(shift ? -10 : -1),
  Home: () => step(-Infinity),
  End: () => step(Infinity),
  " ": () => (playback.on ? pause() : play()),
  f: () => view.fit(),
  1: () => view.oneToOne(),
  "+": () => view.zoomBy(1.25, null),
  "=": () => view.zoomBy(1.25, null),
  "-": () => view.zoomBy(0.8, null),
};

function onKey(event) {
  const target = event.target;
  // Keys typed into a box, or meant for a focused button or slider, are theirs.
  if (target.closest && target.closest("input, select, textarea, button")) {
    return;
  }
  if (event.ctrlKey || event.altKey || event.metaKey) {
    return;
  }
  const action = KEYS[event.key];
  if (action) {
    event.preventDefault();
    action(event.shiftKey);
  }
}

// The token came in the query once; the server has set its cookie, so the address no longer
// needs to show it, and links copied from it do not carry it.
function dropTokenFromAddress() {
  const url = new URL(location.href);
  if (url.searchParams.has("token") || url.searchParams.has("code")) {
    url.searchParams.delete("token");
    url.searchParams.delete("code");
    history.replaceState(null, "", url.pathname + url.search + url.hash);
  }
}

dropTokenFromAddress();
listen();
movies.start();
