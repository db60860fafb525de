'use strict';
// What a release looks like to the download manager, worked out from the maker's files:
// the parts ("<k>_<listed name>", 10,000,000 bytes each, the last one shorter), their
// CRC-32s and the CRC info document "<release>.txt". No network here; publish.js uploads.
//
// The CRC-32 is computed here on its own (not with the product's code), so that what the
// maker publishes and what the product checks keep each other honest.
const fs = require('fs');
const path = require('path');
const crypto = require('crypto');

const PART_SIZE = 10000000;
// The product refuses longer names: the part file names would pass the classic path limit.
const MAX_NAME_LENGTH = 200;
// The product inserts "_<product code>" into every local name; the listed name must leave
// room for it. Product codes are short (a few digits); this leaves room for nine characters.
const SUFFIX_ROOM = 10;

// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320), table-driven.
const TABLE = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

// Continues a CRC over more bytes: crc32(b, crc32(a)) === crc32(a + b).
function crc32(bytes, previous = 0) {
  let c = (previous ^ 0xFFFFFFFF) >>> 0;
  for (let i = 0; i < bytes.length; i++) c = TABLE[(c ^ bytes[i]) & 0xFF] ^ (c >>> 8);
  return (c ^ 0xFFFFFFFF) >>> 0;
}

// The document writes every CRC as a signed 32-bit decimal number.
function signed(crc) {
  return crc | 0;
}

class RefusedError extends Error {}

const RESERVED = /^(CON|PRN|AUX|NUL|CONIN\$|CONOUT\$|COM[0-9\u00B9\u00B2\u00B3]|LPT[0-9\u00B9\u00B2\u00B3])$/i;

// Why the download manager would refuse a listed file name, or null when it takes it.
// Besides its own rules (a safe Windows file name of at most 200 characters, no "..", not
// ending in a dot or a space, no device name), the document itself sets limits: it is
// split at ";" and at line breaks, and read in the customer's ANSI code page, so only
// printable ASCII reaches the customer unchanged.
function nameProblem(name) {
  if (name === '') return 'the name is empty';
  if (!/^[\x20-\x7E]+$/.test(name)) return 'only printable ASCII characters reach every customer unchanged';
  if (/[<>:"/\\|?*]/.test(name)) return 'Windows file names cannot hold < > : " / \\ | ? *';
  if (name.includes(';')) return 'the CRC info document separates files with ";"';
  if (name.includes('..')) return 'the download manager refuses names holding ".."';
  if (name.endsWith('.') || name.endsWith(' ')) return 'Windows drops a trailing dot or space';
  const base = name.split('.')[0].replace(/ +$/, '');
  if (RESERVED.test(base)) return '"' + base + '" is a Windows device name';
  if (name.length > MAX_NAME_LENGTH - SUFFIX_ROOM) {
    return 'longer than ' + (MAX_NAME_LENGTH - SUFFIX_ROOM) + ' characters (the download manager adds the product code)';
  }
  return null;
}

// Why the download manager could not find a release of this name, or null.
function releaseProblem(release) {
  const problem = nameProblem(release + '.txt');
  if (problem) return problem;
  // The product takes a document name holding "2_5" for an old layout and looks for it
  // elsewhere.
  if (release.includes('2_5')) return 'the download manager looks for a document named "...2_5..." in another folder';
  return null;
}

// Why a blob prefix would not work, or null. The product lower-cases the folder it is
// given, and blob names are case-sensitive: a prefix with capitals would never be found.
function prefixProblem(prefix) {
  if (prefix === '') return null;
  if (!/^[\x21-\x2E\x30-\x7E]+(\/[\x21-\x2E\x30-\x7E]+)*$/.test(prefix)) return 'use printable ASCII segments without spaces, separated by single "/"';
  if (/[A-Z]/.test(prefix)) return 'the download manager lower-cases the folder, so the prefix must be lower case';
  if (/[?#%;\\]/.test(prefix)) return 'the prefix cannot hold ? # % ; or \\';
  if (prefix.split('/').some((s) => s === '.' || s === '..')) return 'no "." or ".." segments';
  return null;
}

// Reads a file part by part: calls onPart(k, bytes) with a fresh buffer for each part.
function forEachPart(file, onPart) {
  const fd = fs.openSync(file, 'r');
  try {
    const size = fs.fstatSync(fd).size;
    for (let k = 0, at = 0; at < size; k++, at += PART_SIZE) {
      const length = Math.min(PART_SIZE, size - at);
      const bytes = Buffer.allocUnsafe(length);
      let done = 0;
      while (done < length) {
        const n = fs.readSync(fd, bytes, done, length - done, at + done);
        if (n === 0) throw new Error(file + ' became shorter while it was read');
        done += n;
      }
      onPart(k, bytes, at);
    }
    return size;
  } finally {
    fs.closeSync(fd);
  }
}

// One part's bytes, read again from its file when it is uploaded or compared.
function readPart(part) {
  const bytes = Buffer.allocUnsafe(part.size);
  const fd = fs.openSync(part.file, 'r');
  try {
    let done = 0;
    while (done < part.size) {
      const n = fs.readSync(fd, bytes, done, part.size - done, part.offset + done);
      if (n === 0) throw new Error(part.file + ' became shorter since it was cut');
      done += n;
    }
  } finally {
    fs.closeSync(fd);
  }
  return bytes;
}

// The whole plan of a release: files (listed name, size, parts with CRC and MD5) and the
// document's text. Throws RefusedError naming every problem at once.
function planRelease(release, files) {
  const problems = [];
  const rp = releaseProblem(release);
  if (rp) problems.push('release name "' + release + '": ' + rp);
  if (files.length === 0) problems.push('no files given');
  const seen = new Map();
  const entries = [];
  for (const file of files) {
    const name = path.basename(file);
    let stat = null;
    try {
      stat = fs.statSync(file);
    } catch (e) {
      problems.push(file + ': cannot be read (' + e.code + ')');
      continue;
    }
    if (!stat.isFile()) {
      problems.push(file + ': not a regular file');
      continue;
    }
    const np = nameProblem(name);
    if (np) problems.push('"' + name + '": ' + np);
    // The product keeps a local copy per listed name, compared without regard to case.
    const key = name.toLowerCase();
    if (seen.has(key)) problems.push('"' + name + '" is listed twice (also as ' + seen.get(key) + ')');
    seen.set(key, file);
    // An empty file is listed with size 0 and no CRC line, and has no part object: the
    // download manager creates it empty and checks its size.
    entries.push({ file, name, size: stat.size });
  }
  if (problems.length) throw new RefusedError(problems.join('\n'));

  let document = release;
  for (const entry of entries) {
    entry.parts = [];
    const size = forEachPart(entry.file, (k, bytes, offset) => {
      entry.parts.push({
        file: entry.file,
        blobName: k + '_' + entry.name,
        offset,
        size: bytes.length,
        crc: signed(crc32(bytes)),
        md5: crypto.createHash('md5').update(bytes).digest(),
      });
    });
    if (size !== entry.size) throw new RefusedError(entry.file + ' changed its size while it was read');
    document += ';' + entry.name + '\r\n' + entry.size + '\r\n' + entry.parts.map((p) => p.crc + '\r\n').join('');
  }
  return { release, documentName: release + '.txt', document: Buffer.from(document, 'latin1'), files: entries };
}

module.exports = {
  PART_SIZE, crc32, signed, nameProblem, releaseProblem, prefixProblem, planRelease, readPart, RefusedError,
};
