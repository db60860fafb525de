'use strict';
// The log upload ("Method: LogErrorInfo"): a gzip body holding the error log as UTF-16LE
// JSON text, an array of records with exactly the members detailed_message, error_number,
// file, line, log_index and message. checkUpload refuses anything else, which is then
// stored nowhere; the folder store keeps accepted uploads as UTF-8 JSON under
// <folder>/<ComputerId>/<time>-<n>.json (blobuploads.js keeps them in blob storage).
const fs = require('fs');
const path = require('path');
const zlib = require('zlib');
const { writeAtomically } = require('./listen');

// The product compresses at level 9: a report of 16 MiB of text is far larger than any
// real log, and 8 MiB of upload far more than 16 MiB would pack into.
const MAX_UPLOAD = 8 * 1024 * 1024;
const MAX_UNPACKED = 16 * 1024 * 1024;
const MEMBERS = ['detailed_message', 'error_number', 'file', 'line', 'log_index', 'message'];
const TEXT_MEMBERS = new Set(['detailed_message', 'file', 'message']);

class Refusal extends Error {
  constructor(status, text) {
    super(text);
    this.status = status;
  }
}

function gunzip(body) {
  if (body.length > MAX_UPLOAD) throw new Refusal(413, 'upload larger than 8 MiB');
  if (body.length < 2 || body[0] !== 0x1f || body[1] !== 0x8b) throw new Refusal(400, 'body is not gzip data');
  try {
    return zlib.gunzipSync(body, { maxOutputLength: MAX_UNPACKED });
  } catch (e) {
    if (e.code === 'ERR_BUFFER_TOO_LARGE' || e instanceof RangeError) throw new Refusal(413, 'unpacked report larger than 16 MiB');
    throw new Refusal(400, 'body is not gzip data: ' + e.message);
  }
}

// Strict UTF-16LE: whole code units, surrogates in pairs (a byte-order mark is kept as text).
const strictUtf16le = new TextDecoder('utf-16le', { fatal: true, ignoreBOM: true });
function decodeUtf16le(bytes) {
  if (bytes.length % 2 !== 0) throw new Refusal(400, 'report is not UTF-16LE text (odd length)');
  try {
    return strictUtf16le.decode(bytes);
  } catch (e) {
    throw new Refusal(400, 'report is not UTF-16LE text (lone surrogate)');
  }
}

function checkRecords(text) {
  let doc;
  try {
    doc = JSON.parse(text);
  } catch (e) {
    throw new Refusal(400, 'report is not JSON: ' + e.message);
  }
  if (!Array.isArray(doc)) throw new Refusal(400, 'report is not a JSON array');
  doc.forEach((record, i) => {
    if (typeof record !== 'object' || record === null || Array.isArray(record)) throw new Refusal(400, 'record ' + i + ' is not an object');
    const keys = Object.keys(record).sort();
    if (keys.join(',') !== MEMBERS.join(',')) throw new Refusal(400, 'record ' + i + ' has the members ' + keys.join(',') + ', expected ' + MEMBERS.join(','));
    for (const key of MEMBERS) {
      const value = record[key];
      const ok = TEXT_MEMBERS.has(key) ? typeof value === 'string' : Number.isInteger(value);
      if (!ok) throw new Refusal(400, 'record ' + i + ' member ' + key + ' has the wrong type');
    }
  });
}

function checkComputerId(computerId) {
  if (typeof computerId !== 'string' || !/^[A-Za-z0-9_-]{1,128}$/.test(computerId)) {
    throw new Refusal(400, 'missing or malformed ComputerId header');
  }
}

function checkUpload(computerId, body) {
  checkComputerId(computerId);
  const text = decodeUtf16le(gunzip(body));
  checkRecords(text);
  return text;
}

let sequence = 0;

function storeInFolder(folder, computerId, text) {
  checkComputerId(computerId);
  const dir = path.join(folder, computerId);
  fs.mkdirSync(dir, { recursive: true });
  const name = String(Date.now()).padStart(15, '0') + '-' + String(++sequence).padStart(6, '0') + '.json';
  const file = path.join(dir, name);
  writeAtomically(file, text);
  return file;
}

module.exports = { checkUpload, storeInFolder, Refusal, MAX_UPLOAD };
