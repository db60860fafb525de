'use strict';
// Builds the download descriptor answered for a known release. Kept apart from the
// catalogue look-up: how releases are found does not change when the shared-access text
// is issued per request.
//
// An entry with a "storage" member names where the release lives in blob storage, and
// the location members of the answer follow from it:
//   "storage": {"endpoint": "https://host/account" or "${BLOBS}",
//               "container": "releases", "prefix": "velmot-10-5" (optional),
//               "sasLifetimeSeconds": 3600 (optional),
//               "accountKey": "..." (optional: sign with another key, a token the
//                             storage refuses),
//               "expiredAnswers": N (optional: the first N answers for the release
//                             carry a token that expired a minute ago)}
//   host_name        the endpoint's host
//   download_subdir  the endpoint's path (the account), the container and the prefix
//   SAS              "?" + a fresh read-only token for the container
// Members the entry gives itself win over these (a test may want a broken descriptor).

// "${FILEHOST}" in any text member stands for the file host this service runs beside,
// "${BLOBS}" for the blob storage emulator's endpoint.
function substitute(value, context) {
  if (typeof value !== 'string') return value;
  return value.split('${FILEHOST}').join(context.fileHost || '').split('${BLOBS}').join(context.blobEndpoint || '');
}

function storageMembers(storage, context) {
  const endpoint = new URL(substitute(storage.endpoint || '${BLOBS}', context));
  const container = String(storage.container || '');
  const prefix = String(storage.prefix || '').replace(/^\/+|\/+$/g, '');
  const account = endpoint.pathname.replace(/^\/+|\/+$/g, '');
  const lifetime = Number(storage.sasLifetimeSeconds) > 0 ? Number(storage.sasLifetimeSeconds) : 3600;
  // Loaded on first use: the canned answers of most tests need no storage library.
  const { readSas } = require('./blobaccount');
  const expired = (context.answerIndex || 0) < (Number(storage.expiredAnswers) || 0);
  const sas = readSas(container, lifetime, { accountKey: storage.accountKey, now: context.now, expired });
  return {
    host_name: endpoint.host,
    download_subdir: [account, container, prefix].filter((s) => s !== '').join('/'),
    SAS: '?' + sas,
  };
}

// The entry's members are passed through as they are (a test may give a number where a
// text belongs); "error_info" is null unless the entry itself carries one.
function buildDescriptor(entry, context) {
  const answer = { error_info: null };
  if (entry.storage && typeof entry.storage === 'object') {
    Object.assign(answer, storageMembers(entry.storage, context));
  }
  for (const [key, value] of Object.entries(entry)) {
    if (key === 'respond' || key === 'storage') continue;
    answer[key] = substitute(value, context);
  }
  return answer;
}

const refusal = (text) => ({ error_info: text });

module.exports = { buildDescriptor, refusal };
