// The server's HTTP API as the page uses it. Addresses are relative to the page, so the viewer
// also works behind a proxy that serves it under a prefix; the token travels in the cookie the
// server set when the page was first opened with it.

const MOVIES = "api/v1/movies/";

function movieBase(name) {
  return MOVIES + encodeURIComponent(name);
}

export function frameUrl(name, index, format) {
  return `${movieBase(name)}/frames/${index}?format=${format}`;
}

export function fileUrl(name, suffix = "") {
  return `files/${encodeURIComponent(name + suffix)}`;
}

// `frames` is "A:B" or "A:B:STEP" (digits and colons only, checked by the caller): sent as
// typed, since colons need no escaping in a query.
export function exportUrl(name, frames) {
  return `${movieBase(name)}/export?frames=${frames}`;
}

// The server's own words for a failure ({"error": "..."}), else the status line.
async function failure(response) {
  let text = `${response.status} ${response.statusText}`;
  try {
    const body = await response.json();
    if (body && typeof body.error === "string") {
      text = body.error;
    }
  } catch {
    // Not JSON: the status line says enough.
  }
  return new Error(text);
}

export async function getJson(path) {
  const response = await fetch(path, { cache: "no-store" });
  if (!response.ok) {
    throw await failure(response);
  }
  return response.json();
}

export function movieInfo(name) {
  return getJson(movieBase(name));
}

export function movieTimes(name) {
  return getJson(`${movieBase(name)}/times`);
}

// Frame `index` as raw bytes; a body of any other length than a frame's is refused, so a movie
// that changed under its name never shows as a torn or foreign frame.
export async function frameBytes(name, index, byteLength) {
  const response = await fetch(frameUrl(name, index, "raw"));
  if (!response.ok) {
    throw await failure(response);
  }
  const bytes = await response.arrayBuffer();
  if (bytes.byteLength !== byteLength) {
    throw new Error(`frame ${index} has ${bytes.byteLength} bytes, not ${byteLength}`);
  }
  return bytes;
}

// The size of the movie's info stream, from a HEAD request of its file.
export async function infoSize(name) {
  const response = await fetch(fileUrl(name, ":info"), { method: "HEAD", cache: "no-store" });
  if (!response.ok) {
    throw await failure(response);
  }
  return Number(response.headers.get("Content-Length"));
}
