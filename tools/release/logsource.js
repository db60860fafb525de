'use strict';
// The uploads of a time window (and optionally one release), from the web service's blob
// container or from a folder holding a copy of it (same names, e.g. a download of the
// container): each read as a report, or named with the reason it could not be read.
const fs = require('fs');
const path = require('path');
const zlib = require('zlib');
const { dayPrefix, releaseSegment, parseUploadBlobName, decodeMetadata } = require('./uploadnames');
const { parseReport } = require('./logsummary');

const MAX_UNPACKED = 16 * 1024 * 1024;
const CONCURRENCY = 8;
const DAY_MS = 24 * 3600 * 1000;

// The name prefixes that hold the window: one per day, narrowed to the release if given.
function prefixesOf(since, until, release) {
  const out = [];
  const last = Date.UTC(until.getUTCFullYear(), until.getUTCMonth(), until.getUTCDate());
  for (let t = Date.UTC(since.getUTCFullYear(), since.getUTCMonth(), since.getUTCDate()); t <= last; t += DAY_MS) {
    out.push(dayPrefix(new Date(t)) + (release ? releaseSegment(release) + '/' : ''));
  }
  return out;
}

// Report records from an upload's bytes; throws with a reason a person can act on.
function readReport(bytes) {
  let unpacked;
  try {
    unpacked = zlib.gunzipSync(bytes, { maxOutputLength: MAX_UNPACKED });
  } catch (e) {
    throw new Error(e.code === 'ERR_BUFFER_TOO_LARGE' ? 'unpacks to more than 16 MiB' : 'not gzip data (' + e.message + ')');
  }
  if (unpacked.length % 2 !== 0) throw new Error('not UTF-16LE text (odd length)');
  try {
    return parseReport(unpacked.toString('utf16le'));
  } catch (e) {
    throw new Error('not a report: ' + e.message);
  }
}

async function pool(items, limit, job) {
  let next = 0;
  const worker = async () => {
    while (next < items.length) {
      const i = next++;
      await job(items[i], i);
    }
  };
  await Promise.all(Array.from({ length: Math.min(limit, items.length) }, worker));
}

// Every blob under the prefixes: {name, metadata, read: () => Promise<Buffer>}.
async function listContainer(container, prefixes) {
  const out = [];
  for (const prefix of prefixes) {
    for await (const blob of container.listBlobsFlat({ prefix, includeMetadata: true })) {
      out.push({ name: blob.name, metadata: blob.metadata || {}, read: () => container.getBlobClient(blob.name).downloadToBuffer() });
    }
  }
  return out;
}

function listFolder(folder, prefixes) {
  const out = [];
  const walk = (dir, rel) => {
    let entries;
    try {
      entries = fs.readdirSync(dir, { withFileTypes: true });
    } catch (e) {
      return;
    }
    for (const e of entries) {
      const name = rel ? rel + '/' + e.name : e.name;
      if (e.isDirectory()) walk(path.join(dir, e.name), name);
      else if (prefixes.some((p) => name.startsWith(p))) {
        out.push({ name, metadata: {}, read: async () => fs.readFileSync(path.join(dir, e.name)) });
      }
    }
  };
  // Only the days asked for are walked.
  const days = [...new Set(prefixes.map((p) => p.slice(0, 11)))];
  for (const day of days) walk(path.join(folder, ...day.split('/').filter(Boolean)), day.slice(0, -1));
  return out;
}

// {runs: [{name, time, release, computerId, version, records}], unreadable: [{name, reason}]}
async function loadUploads(source, { since, until, release }) {
  const prefixes = prefixesOf(since, until, release);
  const listed = source.folder ? listFolder(source.folder, prefixes) : await listContainer(source.container, prefixes);
  const runs = [];
  const unreadable = [];
  const inWindow = listed.filter((blob) => {
    const parsed = parseUploadBlobName(blob.name);
    if (!parsed) {
      unreadable.push({ name: blob.name, reason: 'the name is not that of an upload' });
      return false;
    }
    blob.parsed = parsed;
    return parsed.time >= since && parsed.time <= until;
  });
  await pool(inWindow, CONCURRENCY, async (blob) => {
    try {
      const records = readReport(await blob.read());
      runs.push({
        name: blob.name,
        time: blob.parsed.time,
        release: blob.metadata.release !== undefined ? decodeMetadata(blob.metadata.release) || blob.parsed.release : blob.parsed.release,
        computerId: blob.metadata.computerid !== undefined ? decodeMetadata(blob.metadata.computerid) : blob.parsed.computerId,
        version: decodeMetadata(blob.metadata.version),
        records,
      });
    } catch (e) {
      unreadable.push({ name: blob.name, reason: e.statusCode ? 'cannot be read (' + e.statusCode + ')' : e.message });
    }
  });
  unreadable.sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
  return { runs, unreadable };
}

module.exports = { loadUploads, readReport, prefixesOf };
