'use strict';
// Uploads as the program makes them (gzip of the UTF-16LE JSON report), written into a
// folder laid out like the web service's container, for the tests of tools/logs. The
// records are those the program writes on each way a run can end.
const fs = require('fs');
const path = require('path');
const zlib = require('zlib');
const { uploadBlobName } = require('../uploadnames');

function record(message, errorNumber = 0, file = 'src/download/filedownload.cpp', detailed = '') {
  return { detailed_message: detailed, error_number: errorNumber, file, line: 100, log_index: 0, message };
}

const HOST = 'velmotfiles.blob.core.windows.net';
const opening = record('Opening connection: ' + HOST, 0, 'src/net/connection.cpp');
const part = (k) => record('Download: C:/users/jane/AppData/Local/Velmot Pro/Velmot Data_31.binpart' + k +
  ' correct CRC. Download succesful.');

// Each kind: the records of one run and the cause tools/logs gives it.
const KINDS = {
  unknownRelease: {
    cause: 'request: refused by the web service: Unknown release "…"',
    records: (release) => [
      record('FileUpload::ServerSettingsFromUrl: https://service.velmot.test/Velmot/DownloadManager8.ashx', 0, 'src/net/fileupload.cpp'),
      record('{"error_info":"Unknown release \\"' + release + '\\""}', 0, 'src/download/serviceclient.cpp'),
    ],
  },
  serviceDown: {
    cause: 'request: the web service answered N HTTP Operation failed',
    records: () => [
      record('FileUpload::ServerSettingsFromUrl: https://service.velmot.test/Velmot/DownloadManager8.ashx', 0, 'src/net/fileupload.cpp'),
      record('InternetConnect service.velmot.test', 0, 'src/net/fileupload.cpp'),
      record('HttpSendRequest failed', 12029, 'src/net/httpcore.cpp', 'ERROR_INTERNET_CANNOT_CONNECT'),
      record('DownloadManager::RequestDownload the web service answered 9000 HTTP Operation failed', -32764, 'src/download/serviceclient.cpp'),
    ],
  },
  releaseGone: {
    cause: 'CRC info document: the release can no longer be downloaded',
    records: () => [opening, record('Response status not 200, but 404 for: ', 0, 'src/net/connection.cpp'),
      record('This version of Velmot can no longer be downloaded.\r\nPlease download the latest version you received in an e-mail message', 0, '')],
  },
  fullDisk: {
    cause: 'parts: not enough free disk space',
    records: () => [opening, record('There is not enough free space on drive C:\\ to save the Velmot installation files.\r\nNeeded: 1,200 MB, free: 300 MB.', 112, 'src/download/downloadmanager_network.cpp')],
  },
  gaveUpCrc: {
    cause: 'merge: gave up after the last pass: DL_MANAGER_CRC_INCORRECT, CRC Check of file : <path> failed!',
    records: () => [opening, part(0), part(1),
      record('CRC Check of file : C:/Users/jane/Downloads/Velmot Data_31.bin failed!', -32766, 'src/download/downloadmanager_merge.cpp'),
      record('CRC Check of file : C:/Users/jane/Downloads/Velmot Data_31.bin failed!', -32766, 'src/download/downloadmanager_merge.cpp'),
      record('Maximum download attempts exceeded. If there are no network or file errors, it could be that the files are removed from disk after writing', -32767, 'src/download/downloadmanager.cpp')],
  },
  outageClosed: {
    cause: 'closed by the user during parts',
    records: () => [opening, part(0),
      record('InternetReadFile Failed for: C:/users/jane/AppData/Local/Velmot Pro/Velmot Data_31.binpart1', 12030, 'src/download/filedownload.cpp', 'ERROR_INTERNET_CONNECTION_ABORTED'),
      record('The file host ' + HOST + ' could not be reached; the next try comes in 30 s', 0, 'src/download/downloadmanager_network.cpp')],
  },
  signInClosed: {
    cause: 'closed by the user during CRC info document',
    records: () => [record('Opening connection: ' + HOST, 0, 'src/net/connection.cpp'),
      record('The network answered with a web page instead of the download from ' + HOST + ': a hotel, airport or company network may want a sign-in in a web browser first', -32756, 'src/download/downloadmanager_network.cpp')],
  },
  renewedThenUntrusted: {
    cause: 'setup start: Setup not started: the signature does not hold; …',
    records: () => [opening,
      record('The file host refused the download link (HTTP 403, AuthenticationFailed) for: ' + HOST + '/velmot/pro/0_Setup.exe', -32757, 'src/download/downloadmanager_network.cpp'),
      record('The web service gave a new download link', 0, 'src/download/downloadmanager_network.cpp'), part(0),
      record('Setup not started: the signature does not hold; …', -32758, 'src/download/setupsignature.cpp')],
  },
};

// Writes one upload; returns its name.
function writeUpload(folder, time, release, computerId, records, random = '0a0b0c') {
  const name = uploadBlobName(time, release, computerId, random);
  const file = path.join(folder, ...name.split('/'));
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, zlib.gzipSync(Buffer.from(JSON.stringify(records), 'utf16le'), { level: 9 }));
  return name;
}

function computerId(n) {
  return (n.toString(16).padStart(8, '0') + 'c0ffee' + '0'.repeat(26)).slice(0, 40);
}

// A week of uploads (2026-11-02 .. 2026-11-08), the same every time: kinds by weight,
// more runs in the middle of the week, and one upload that is no report.
function writeWeek(folder) {
  const plan = [['unknownRelease', 5], ['serviceDown', 2], ['releaseGone', 3], ['fullDisk', 4], ['gaveUpCrc', 6],
    ['outageClosed', 9], ['signInClosed', 3], ['renewedThenUntrusted', 2]];
  const perDay = [3, 4, 6, 8, 5, 4, 4];
  const kinds = plan.flatMap(([kind, n]) => Array(n).fill(kind));
  let i = 0;
  perDay.forEach((count, day) => {
    for (let j = 0; j < count; j++, i++) {
      const time = new Date(Date.UTC(2026, 10, 2 + day, 6 + j * 2, (i * 7) % 60, i % 60, i));
      const release = i % 3 === 0 ? 'Velmot Lite 4' : 'Velmot Pro 10';
      writeUpload(folder, time, release, computerId(i + 1), KINDS[kinds[i % kinds.length]].records(release),
        (0xa00000 + i).toString(16));
    }
  });
  const bad = uploadBlobName(new Date(Date.UTC(2026, 10, 5, 12)), 'Velmot Pro 10', computerId(999), 'badbad');
  fs.mkdirSync(path.join(folder, ...bad.split('/').slice(0, -1)), { recursive: true });
  fs.writeFileSync(path.join(folder, ...bad.split('/')), 'not a gzip file');
  return { since: '2026-11-02', until: '2026-11-08', runs: i, bad };
}

module.exports = { KINDS, record, writeUpload, writeWeek, computerId };
