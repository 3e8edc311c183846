// The frame canvas: draws a 16-bit frame through a contrast table, zooms and pans it, and reads
// the raw value under the pointer.
//
// The canvas always holds the frame at its own size (one canvas pixel per frame pixel); zoom and
// pan are a CSS transform with nearest-neighbour scaling. So the canvas's pixels are exactly the
// mapped frame, whatever the zoom, and the pointer's frame pixel follows from the canvas's box.

import { renderGrey } from "./contrast.js";

const WHEEL_STEP = 1.25;
const MIN_ZOOM = 1 / 64;
const MAX_ZOOM = 128;

export class FrameView {
  constructor(viewport, canvas, onPointer) {
    this.viewport = viewport;
    this.canvas = canvas;
    this.context = canvas.getContext("2d", { alpha: false });
    this.onPointer = onPointer;
    this.image = null;
    this.pixels = null;
    this.zoom = 1;
    this.panX = 0;
    this.panY = 0;
    this.fitted = true;
    this.pointer = null;
    this.drag = null;
    this.listen();
  }

  get width() {
    return this.canvas.width;
  }

  get height() {
    return this.canvas.height;
  }

  // Draws `pixels` (w x h raw values) through `table`. A new size refits the view.
  draw(pixels, width, height, table) {
    const resized = width !== this.canvas.width || height !== this.canvas.height;
    if (resized || !this.image) {
      this.canvas.width = width;
      this.canvas.height = height;
      this.image = this.context.createImageData(width, height);
    }
    renderGrey(pixels, table, this.image.data);
    this.context.putImageData(this.image, 0, 0);
    this.pixels = pixels;
    if (resized) {
      this.fit();
    }
    this.reportPointer();
  }

  clear() {
    this.pixels = null;
    this.image = null;
    this.canvas.width = 1;
    this.canvas.height = 1;
    this.reportPointer();
  }

  fit() {
    const box = this.viewport.getBoundingClientRect();
    const zoom = Math.min(box.width / this.width, box.height / this.height);
    this.setZoom(zoom > 0 ? zoom : 1);
    this.panX = (box.width - this.width * this.zoom) / 2;
    this.panY = (box.height - this.height * this.zoom) / 2;
    this.fitted = true;
    this.apply();
  }

  // One frame pixel to one device pixel, about the middle of the viewport.
  oneToOne() {
    this.zoomAbout(1 / (window.devicePixelRatio || 1), null);
  }

  zoomBy(factor, point) {
    this.zoomAbout(this.zoom * factor, point);
  }

  // Zooms keeping the frame point under `point` (viewport coordinates; null: the middle) still.
  zoomAbout(zoom, point) {
    const box = this.viewport.getBoundingClientRect();
    const px = point ? point.x : box.width / 2;
    const py = point ? point.y : box.height / 2;
    const fx = (px - this.panX) / this.zoom;
    const fy = (py - this.panY) / this.zoom;
    this.setZoom(zoom);
    this.panX = px - fx * this.zoom;
    this.panY = py - fy * this.zoom;
    this.fitted = false;
    this.apply();
  }

  setZoom(zoom) {
    this.zoom = Math.min(MAX_ZOOM, Math.max(MIN_ZOOM, zoom));
  }

  apply() {
    this.canvas.style.transform = `translate(${this.panX}px, ${this.panY}px) scale(${this.zoom})`;
    this.viewport.dispatchEvent(new CustomEvent("zoomchange", { detail: this.zoom }));
    this.reportPointer();
  }

  // The frame pixel under client point (cx, cy), or null outside the frame.
  pixelAt(cx, cy) {
    const box = this.canvas.getBoundingClientRect();
    if (!this.pixels || box.width === 0 || box.height === 0) {
      return null;
    }
    const x = Math.floor(((cx - box.left) / box.width) * this.width);
    const y = Math.floor(((cy - box.top) / box.height) * this.height);
    if (x < 0 || y < 0 || x >= this.width || y >= this.height) {
      return null;
    }
    return { x, y, value: this.pixels[y * this.width + x] };
  }

  reportPointer() {
    this.onPointer(this.pointer ? this.pixelAt(this.pointer.x, this.pointer.y) : null);
  }

  listen() {
    const local = (event) => {
      const box = this.viewport.getBoundingClientRect();
      return { x: event.clientX - box.left, y: event.clientY - box.top };
    };
    this.viewport.addEventListener(
      "wheel",
      (event) => {
        event.preventDefault();
        this.zoomBy(event.deltaY < 0 ? WHEEL_STEP : 1 / WHEEL_STEP, local(event));
      },
      { passive: false },
    );
    this.viewport.addEventListener("pointerdown", (event) => {
      if (event.button !== 0) {
        return;
      }
      this.viewport.focus();
      this.viewport.setPointerCapture(event.pointerId);
      this.drag = { x: event.clientX, y: event.clientY, panX: this.panX, panY: this.panY };
    });
    this.viewport.addEventListener("pointermove", (event) => {
      this.pointer = { x: event.clientX, y: event.clientY };
      if (this.drag) {
        this.viewport.classList.add("panning");
        this.panX = this.drag.panX + event.clientX - this.drag.x;
        this.panY = this.drag.panY + event.clientY - this.drag.y;
        this.fitted = false;
        this.apply();
      } else {
        this.reportPointer();
      }
    });
    const endDrag = () => {
      this.drag = null;
      this.viewport.classList.remove("panning");
    };
    this.viewport.addEventListener("pointerup", endDrag);
    this.viewport.addEventListener("pointercancel", endDrag);
    this.viewport.addEventListener("pointerleave", () => {
      this.pointer = null;
      this.reportPointer();
    });
    // A fitted view stays fitted when the window changes size.
    new ResizeObserver(() => {
      if (this.fitted && this.pixels) {
        this.fit();
      }
    }).observe(this.viewport);
  }
}
