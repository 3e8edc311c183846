// The details panel: the movie's seven properties, its frame rate and info size, and the
// download links (raw movie, OME-TIFF, the shown frame as PNG, a frame range as OME-TIFF).

import { exportUrl, fileUrl, frameUrl } from "./api.js";
import { formatBytes, formatSeconds } from "./format.js";

const PROPERTIES = ["width", "height", "numFrames", "index", "startTime", "endTime", "duration"];

export class Details {
  constructor() {
    this.list = document.getElementById("properties");
    this.links = {
      raw: document.getElementById("download-raw"),
      ome: document.getElementById("download-ome"),
      png: document.getElementById("download-png"),
      range: document.getElementById("download-range"),
    };
    this.range = document.getElementById("range");
    this.movie = null;
    this.index = 0;
    this.range.addEventListener("input", () => this.setRangeLink());
  }

  // `infoBytes` is the info stream's size and `rate` frames per second (null: not known yet).
  show(movie, infoBytes = null, rate = null) {
    this.movie = movie;
    this.list.replaceChildren();
    if (!movie) {
      for (const link of Object.values(this.links)) {
        link.removeAttribute("href");
      }
      return;
    }
    const p = movie.properties || {};
    const rows = [
      ["name", movie.name],
      ["recorded", movie.time],
      ["size", `${formatBytes(movie.size)} (${movie.size} bytes)`],
    ];
    for (const key of PROPERTIES) {
      let value = p[key] ?? "";
      if (key === "duration" && value !== "") {
        value = `${value} us (${formatSeconds(Number(value) / 1e6)})`;
      }
      rows.push([key, value]);
    }
    rows.push(["frame rate", rate ? `${rate.toFixed(3)} /s` : "unknown"]);
    rows.push(["info size", infoBytes === null ? "unknown" : formatBytes(infoBytes)]);
    for (const [term, value] of rows) {
      const dt = document.createElement("dt");
      dt.textContent = term;
      const dd = document.createElement("dd");
      dd.textContent = value;
      dd.dataset.property = term;
      this.list.append(dt, dd);
    }
    this.links.raw.href = fileUrl(movie.name);
    this.links.raw.download = `${movie.name}.raw`;
    this.links.ome.href = fileUrl(movie.name, ".ome.tif");
    this.links.ome.download = `${movie.name}.ome.tif`;
    const frames = Number(p.numFrames) || 0;
    this.range.value = `0:${frames}`;
    this.setRangeLink();
    this.frame(this.index);
  }

  frame(index) {
    this.index = index;
    if (this.movie) {
      this.links.png.href = frameUrl(this.movie.name, index, "png");
      this.links.png.download = `${this.movie.name}-${index}.png`;
    }
  }

  setRangeLink() {
    if (!this.movie) {
      return;
    }
    const text = this.range.value.trim();
    if (/^\d+:\d+(:\d+)?$/.test(text)) {
      this.links.range.href = exportUrl(this.movie.name, text);
      this.links.range.download = `${this.movie.name}-${text.replaceAll(":", "_")}.ome.tif`;
    } else {
      this.links.range.removeAttribute("href");
    }
  }
}
