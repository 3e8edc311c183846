// The movie list: one item per movie of the drive with a thumbnail, filtered by the filter box,
// loaded again whenever the server's event stream reports a change.

import { formatBytes, formatSeconds, nameMatches } from "./format.js";
import { frameUrl, getJson } from "./api.js";

// A movie's identity: the same name with another recording is another movie (and thumbnail).
function identity(movie) {
  return `${movie.name}\u0000${movie.time}\u0000${movie.size}`;
}

export function movieNumbers(movie) {
  const p = movie.properties || {};
  return {
    width: Number(p.width) || 0,
    height: Number(p.height) || 0,
    frames: Number(p.numFrames) || 0,
    durationUs: Number(p.duration) || 0,
  };
}

export class MovieList {
  // `onSelect(movie)` when the user picks a movie; `onUpdate(movies)` after every reload.
  constructor(onSelect, onUpdate) {
    this.onSelect = onSelect;
    this.onUpdate = onUpdate;
    this.list = document.getElementById("movie-list");
    this.filter = document.getElementById("filter");
    this.note = document.getElementById("list-note");
    this.connection = document.getElementById("connection");
    this.items = new Map();
    this.movies = [];
    this.selected = null;
    this.loading = null;
    this.again = false;
    this.events = null;
    this.filter.addEventListener("input", () => this.applyFilter());
  }

  // Loads the list now and on every change event. The stream reconnects by itself (the server
  // sends `retry:`), and every reconnection loads the list again: changes may have been missed.
  //
  // A browser opens at most six connections to one server, and an open event stream holds one
  // for good: so only a page that is shown keeps its stream. A hidden tab, or a page left for
  // another (which the browser may keep alive to come back to), closes it, and loads the list
  // again when it is shown again.
  start() {
    const connect = () => {
      if (this.events || document.visibilityState === "hidden") {
        return;
      }
      const events = new EventSource("api/v1/events");
      events.addEventListener("open", () => {
        this.connection.textContent = "live";
        this.connection.classList.add("live");
        this.reload();
      });
      events.addEventListener("change", () => this.reload());
      events.addEventListener("error", () => {
        this.connection.textContent = "reconnecting";
        this.connection.classList.remove("live");
      });
      this.events = events;
    };
    const disconnect = () => {
      if (this.events) {
        this.events.close();
        this.events = null;
        this.connection.textContent = "paused";
        this.connection.classList.remove("live");
      }
    };
    document.addEventListener("visibilitychange", () =>
      document.visibilityState === "hidden" ? disconnect() : connect(),
    );
    window.addEventListener("pagehide", disconnect);
    window.addEventListener("pageshow", connect);
    connect();
    this.reload();
  }

  // One load at a time; a change during a load causes one more load after it.
  async reload() {
    if (this.loading) {
      this.again = true;
      return this.loading;
    }
    this.loading = (async () => {
      do {
        this.again = false;
        try {
          this.show(await getJson("api/v1/movies"));
          this.note.textContent = "";
        } catch (error) {
          this.note.textContent = `Movie list: ${error.message}`;
        }
      } while (this.again);
    })();
    try {
      await this.loading;
    } finally {
      this.loading = null;
    }
  }

  show(movies) {
    this.movies = movies;
    const keep = new Map();
    const fragment = document.createDocumentFragment();
    for (const movie of movies) {
      const key = identity(movie);
      const item = this.items.get(key) || this.makeItem(movie);
      keep.set(key, item);
      fragment.append(item);
    }
    this.items = keep;
    this.list.replaceChildren(fragment);
    this.markSelected();
    this.applyFilter();
    this.onUpdate(movies);
  }

  makeItem(movie) {
    const { width, height, frames, durationUs } = movieNumbers(movie);
    const item = document.createElement("li");
    item.dataset.movie = movie.name;
    item.title = movie.name;
    let thumb;
    if (frames > 0) {
      thumb = document.createElement("img");
      thumb.loading = "lazy";
      thumb.alt = "";
      thumb.src = frameUrl(movie.name, Math.floor(frames / 2), "png8");
    } else {
      thumb = document.createElement("div");
      thumb.className = "no-thumb";
    }
    const text = document.createElement("div");
    const name = document.createElement("div");
    name.className = "name";
    name.textContent = movie.name;
    const meta = document.createElement("div");
    meta.className = "meta";
    meta.textContent =
      `${movie.time.replace("T", " ")}\n${width}x${height}, ${frames} frames, ` +
      `${formatSeconds(durationUs / 1e6)}, ${formatBytes(movie.size)}`;
    meta.style.whiteSpace = "pre-line";
    text.append(name, meta);
    item.append(thumb, text);
    item.addEventListener("click", () => this.onSelect(movie));
    return item;
  }

  applyFilter() {
    let shown = 0;
    for (const item of this.items.values()) {
      item.hidden = !nameMatches(item.dataset.movie, this.filter.value);
      shown += item.hidden ? 0 : 1;
    }
    if (this.movies.length === 0) {
      this.note.textContent = "No movies on the drive.";
    } else if (shown === 0) {
      this.note.textContent = "No movie matches the filter.";
    } else if (this.note.textContent.startsWith("No ")) {
      this.note.textContent = "";
    }
  }

  select(name) {
    this.selected = name;
    this.markSelected();
  }

  markSelected() {
    for (const item of this.items.values()) {
      item.classList.toggle("selected", item.dataset.movie === this.selected);
    }
  }

  find(name) {
    return this.movies.find((movie) => movie.name === name) || null;
  }
}
