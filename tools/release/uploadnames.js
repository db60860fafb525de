'use strict';
// How the web service names the log uploads it keeps in blob storage, so that a listing by
// prefix finds one day, or one release of one day:
//   YYYY/MM/DD/<release>/<HHMMSSmmm>-<ComputerId>-<6 hex>.json.gz     (UTC)
// The blob holds the upload's bytes unchanged (gzip of the UTF-16LE JSON report); its
// metadata names the release, the computer id and the program version. The web service
// writes these names, tools/logs reads them: both take them from here.

const DEFAULT_CONTAINER = 'uploads';
// The upload does not name its release: the service takes it from the computer's download
// request. A service that never saw that request files the upload here.
const UNKNOWN_RELEASE = '_unknown';
const MAX_SEGMENT = 200;

function pad(n, width) {
  return String(n).padStart(width, '0');
}

// "2026/12/09/" for a time (UTC).
function dayPrefix(date) {
  return pad(date.getUTCFullYear(), 4) + '/' + pad(date.getUTCMonth() + 1, 2) + '/' + pad(date.getUTCDate(), 2) + '/';
}

// A release name as one path segment: release names are Windows file names, so only
// control characters and the two slashes need replacing; a trailing dot or blank would be
// dropped by some storage tools.
function releaseSegment(release) {
  if (typeof release !== 'string') return UNKNOWN_RELEASE;
  const segment = release.replace(/[\x00-\x1f\x7f/\\]/g, '_').slice(0, MAX_SEGMENT).replace(/[. ]+$/, '');
  return segment === '' || segment === '.' ? UNKNOWN_RELEASE : segment;
}

function uploadBlobName(date, release, computerId, random) {
  const time = pad(date.getUTCHours(), 2) + pad(date.getUTCMinutes(), 2) + pad(date.getUTCSeconds(), 2) +
    pad(date.getUTCMilliseconds(), 3);
  return dayPrefix(date) + releaseSegment(release) + '/' + time + '-' + computerId + '-' + random + '.json.gz';
}

const NAME = /^(\d{4})\/(\d{2})\/(\d{2})\/(.+)\/(\d{2})(\d{2})(\d{2})(\d{3})-([A-Za-z0-9_-]+)-([0-9a-f]+)\.json\.gz$/;

// {time: Date, release (the segment), computerId} of a name written above, or null.
function parseUploadBlobName(name) {
  const m = NAME.exec(name);
  if (!m) return null;
  // The computer id may hold dashes itself; the random part is the last one.
  const time = new Date(Date.UTC(+m[1], +m[2] - 1, +m[3], +m[5], +m[6], +m[7], +m[8]));
  if (Number.isNaN(time.getTime())) return null;
  return { time, release: m[4], computerId: m[9] };
}

// Metadata values travel as HTTP header values: printable ASCII only. Anything else (and
// "%" itself, and blanks at either end) is percent-encoded as UTF-8.
function encodeMetadata(text) {
  return String(text).replace(/%|[^\x20-\x7e]/gu, (c) => encodeURIComponent(c)).replace(/^ | $/g, '%20');
}

function decodeMetadata(text) {
  try {
    return decodeURIComponent(text || '');
  } catch (e) {
    return text || '';
  }
}

module.exports = {
  DEFAULT_CONTAINER, UNKNOWN_RELEASE, dayPrefix, releaseSegment, uploadBlobName, parseUploadBlobName,
  encodeMetadata, decodeMetadata,
};
