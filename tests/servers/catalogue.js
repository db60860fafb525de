'use strict';
// Release look-up of the reference web service: the base catalogue shipped with the test
// servers plus the entries tests drop into <service root>/catalogue.d/ (one file per
// release: {"release": name, "entry": {...}}). Read anew on every request; where several
// files name the same release, the most recently written one wins.
const fs = require('fs');
const path = require('path');

function readJson(file) {
  try {
    return JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (e) {
    return null;
  }
}

// The entry of a release, or null when the catalogue does not know it.
function lookUp(baseFile, folder, release) {
  let best = null;
  let bestTime = -1;
  let names = [];
  try {
    names = fs.readdirSync(folder).filter((n) => n.endsWith('.json'));
  } catch (e) {
    names = [];
  }
  for (const name of names) {
    const file = path.join(folder, name);
    const doc = readJson(file);
    if (!doc || doc.release !== release || typeof doc.entry !== 'object' || doc.entry === null) continue;
    let time = 0;
    try {
      time = fs.statSync(file).mtimeMs;
    } catch (e) {
      continue;
    }
    if (time >= bestTime) {
      best = doc.entry;
      bestTime = time;
    }
  }
  if (best) return best;
  const base = baseFile ? readJson(baseFile) : null;
  if (base && base.releases && Object.prototype.hasOwnProperty.call(base.releases, release)) {
    return base.releases[release];
  }
  return null;
}

module.exports = { lookUp };
