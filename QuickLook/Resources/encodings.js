// Other readings of names that were not UTF-8. Such a row carries the bytes of its path
// (data-raw, hexadecimal); its name was read as code page 437, as zip tools do. The notice in the
// listing's tool bar says so and offers the readings that look most like real names, and choosing
// one shows every such name that way. Links keep the path the application was given.
//
// Put into the page when the plug-in is built: it holds no percent sign (see filter.js).
'use strict';

var ASSUMED_ENCODING = 'CP437';
// Upper halves (bytes 0x80 to 0xFF) of the single-byte code pages; U+FFFD where one has no character.
var CODE_PAGES = {
  CP437:
    '\u00C7\u00FC\u00E9\u00E2\u00E4\u00E0\u00E5\u00E7\u00EA\u00EB\u00E8\u00EF\u00EE\u00EC\u00C4\u00C5' +
    '\u00C9\u00E6\u00C6\u00F4\u00F6\u00F2\u00FB\u00F9\u00FF\u00D6\u00DC\u00A2\u00A3\u00A5\u20A7\u0192' +
    '\u00E1\u00ED\u00F3\u00FA\u00F1\u00D1\u00AA\u00BA\u00BF\u2310\u00AC\u00BD\u00BC\u00A1\u00AB\u00BB' +
    '\u2591\u2592\u2593\u2502\u2524\u2561\u2562\u2556\u2555\u2563\u2551\u2557\u255D\u255C\u255B\u2510' +
    '\u2514\u2534\u252C\u251C\u2500\u253C\u255E\u255F\u255A\u2554\u2569\u2566\u2560\u2550\u256C\u2567' +
    '\u2568\u2564\u2565\u2559\u2558\u2552\u2553\u256B\u256A\u2518\u250C\u2588\u2584\u258C\u2590\u2580' +
    '\u03B1\u00DF\u0393\u03C0\u03A3\u03C3\u00B5\u03C4\u03A6\u0398\u03A9\u03B4\u221E\u03C6\u03B5\u2229' +
    '\u2261\u00B1\u2265\u2264\u2320\u2321\u00F7\u2248\u00B0\u2219\u00B7\u221A\u207F\u00B2\u25A0\u00A0',
  CP866:
    '\u0410\u0411\u0412\u0413\u0414\u0415\u0416\u0417\u0418\u0419\u041A\u041B\u041C\u041D\u041E\u041F' +
    '\u0420\u0421\u0422\u0423\u0424\u0425\u0426\u0427\u0428\u0429\u042A\u042B\u042C\u042D\u042E\u042F' +
    '\u0430\u0431\u0432\u0433\u0434\u0435\u0436\u0437\u0438\u0439\u043A\u043B\u043C\u043D\u043E\u043F' +
    '\u2591\u2592\u2593\u2502\u2524\u2561\u2562\u2556\u2555\u2563\u2551\u2557\u255D\u255C\u255B\u2510' +
    '\u2514\u2534\u252C\u251C\u2500\u253C\u255E\u255F\u255A\u2554\u2569\u2566\u2560\u2550\u256C\u2567' +
    '\u2568\u2564\u2565\u2559\u2558\u2552\u2553\u256B\u256A\u2518\u250C\u2588\u2584\u258C\u2590\u2580' +
    '\u0440\u0441\u0442\u0443\u0444\u0445\u0446\u0447\u0448\u0449\u044A\u044B\u044C\u044D\u044E\u044F' +
    '\u0401\u0451\u0404\u0454\u0407\u0457\u040E\u045E\u00B0\u2219\u00B7\u221A\u2116\u00A4\u25A0\u00A0',
  CP1252:
    '\u20AC\uFFFD\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152\uFFFD\u017D\uFFFD' +
    '\uFFFD\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A\u0153\uFFFD\u017E\u0178' +
    '\u00A0\u00A1\u00A2\u00A3\u00A4\u00A5\u00A6\u00A7\u00A8\u00A9\u00AA\u00AB\u00AC\u00AD\u00AE\u00AF' +
    '\u00B0\u00B1\u00B2\u00B3\u00B4\u00B5\u00B6\u00B7\u00B8\u00B9\u00BA\u00BB\u00BC\u00BD\u00BE\u00BF' +
    '\u00C0\u00C1\u00C2\u00C3\u00C4\u00C5\u00C6\u00C7\u00C8\u00C9\u00CA\u00CB\u00CC\u00CD\u00CE\u00CF' +
    '\u00D0\u00D1\u00D2\u00D3\u00D4\u00D5\u00D6\u00D7\u00D8\u00D9\u00DA\u00DB\u00DC\u00DD\u00DE\u00DF' +
    '\u00E0\u00E1\u00E2\u00E3\u00E4\u00E5\u00E6\u00E7\u00E8\u00E9\u00EA\u00EB\u00EC\u00ED\u00EE\u00EF' +
    '\u00F0\u00F1\u00F2\u00F3\u00F4\u00F5\u00F6\u00F7\u00F8\u00F9\u00FA\u00FB\u00FC\u00FD\u00FE\u00FF',
};
// Multi-byte code pages come from the browser's own decoders.
var DECODER_LABELS = { CP932: 'shift_jis', GBK: 'gbk' };
// The readings offered besides the assumed one, in the order that settles a tie.
var OTHER_ENCODINGS = ['CP866', 'CP932', 'GBK', 'CP1252'];
var OFFERED_READINGS = 3;

function hexBytes(hex) {
  var bytes = new Uint8Array(hex.length >> 1);
  for (var i = 0; i !== bytes.length; ++i) bytes[i] = parseInt(hex.substr(2 * i, 2), 16);
  return bytes;
}

// The bytes of a path's last component: a slash is never part of a multi-byte character in
// these code pages, so the bytes split like the path.
function lastComponent(bytes) {
  var end = bytes.length;
  while (end !== 0 && bytes[end - 1] === 0x2F) --end;
  var start = end;
  while (start !== 0 && bytes[start - 1] !== 0x2F) --start;
  return bytes.subarray(start, end);
}

var decoders = {};

// The text of `bytes` in `encoding`, or null when the browser cannot decode it.
function decodeName(bytes, encoding) {
  var table = CODE_PAGES[encoding];
  if (table) {
    var text = '';
    for (var i = 0; i !== bytes.length; ++i)
      text += bytes[i] < 0x80 ? String.fromCharCode(bytes[i]) : table.charAt(bytes[i] - 0x80);
    return text;
  }
  try {
    if (!decoders[encoding]) decoders[encoding] = new TextDecoder(DECODER_LABELS[encoding]);
    return decoders[encoding].decode(bytes);
  } catch (error) {
    return null;
  }
}

// How unlikely a character is in a name: letters of one alphabet cost nothing or little,
// symbols, box drawing and characters that could not be read cost more.
function characterCost(code) {
  if (code < 0x80) return code < 0x20 || code === 0x7F ? 10 : 0;
  if (code === 0xFFFD || code < 0xA0) return 10;
  if ((code >= 0x410 && code <= 0x44F) || code === 0x401 || code === 0x451) return 0;
  if ((code >= 0x3040 && code <= 0x30FF) || (code >= 0x4E00 && code <= 0x9FFF)) return 0;
  if (code >= 0xC0 && code <= 0x17F && code !== 0xD7 && code !== 0xF7) return 1;
  if (code >= 0x400 && code <= 0x4FF) return 1;
  if ((code >= 0xFF61 && code <= 0xFF9F) || (code >= 0x370 && code <= 0x3FF)) return 2;
  return 3;
}

// The alphabet of a letter ('' for anything else), to find words that change alphabet midway.
function alphabetOf(code) {
  if ((code >= 0x41 && code <= 0x5A) || (code >= 0x61 && code <= 0x7A)) return 'L';
  if (code >= 0xC0 && code <= 0x24F && code !== 0xD7 && code !== 0xF7) return 'L';
  if (code >= 0x370 && code <= 0x3FF) return 'G';
  if (code >= 0x400 && code <= 0x4FF) return 'C';
  if ((code >= 0x3040 && code <= 0x9FFF) || (code >= 0xFF61 && code <= 0xFF9F)) return 'J';
  return '';
}

function unlikeliness(text) {
  var cost = 0;
  var previous = '';
  for (var i = 0; i !== text.length; ++i) {
    var code = text.charCodeAt(i);
    cost += characterCost(code);
    var alphabet = alphabetOf(code);
    if (alphabet !== '' && previous !== '' && alphabet !== previous) cost += 2;
    previous = alphabet;
  }
  return cost;
}

// The rows whose names were not UTF-8, with the bytes of their names.
function readLegacyNames() {
  var found = [];
  var rows = document.querySelectorAll('#rows tr[data-raw]');
  Array.prototype.forEach.call(rows, function (row) {
    var hex = row.getAttribute('data-raw') || '';
    var link = row.querySelector('div.n a');
    if (!link || !/^(?:[0-9a-f]{2})+$/.test(hex)) return;
    found.push({ row: row, link: link, bytes: lastComponent(hexBytes(hex)) });
  });
  return found;
}

// The other readings that look most like names, best first.
function likelyReadings(names) {
  var scored = [];
  OTHER_ENCODINGS.forEach(function (encoding, rank) {
    var cost = 0;
    for (var i = 0; i !== names.length; ++i) {
      var text = decodeName(names[i].bytes, encoding);
      if (text === null) return;
      cost += unlikeliness(text);
    }
    scored.push({ encoding: encoding, cost: cost, rank: rank });
  });
  scored.sort(function (a, b) { return a.cost - b.cost || a.rank - b.rank; });
  return scored.slice(0, OFFERED_READINGS).map(function (entry) { return entry.encoding; });
}

// Shows every such name in `encoding` and lets the filter and the sorting see the new names.
function showReading(names, encoding) {
  for (var i = 0; i !== names.length; ++i) {
    var text = decodeName(names[i].bytes, encoding);
    if (text !== null) names[i].link.textContent = text;
  }
  if (typeof listing === 'undefined' || !listing) return;
  for (var j = 0; j !== listing.rows.length; ++j) {
    if (listing.rows[j].hasAttribute('data-raw')) listing.names[j] = cellText(listing.rows[j], 'cN').toLowerCase();
  }
  refreshListingTools();
}

function bindNameReadings() {
  var notice = document.getElementById('name-encoding');
  var menu = document.getElementById('name-encoding-choice');
  if (!notice || !menu) return;
  var names = readLegacyNames();
  if (names.length === 0) return;
  // A label the page's maker left as its placeholder shows as its key, the strings' fallback.
  var label = notice.querySelector('.label');
  if (label) label.textContent = label.textContent.replace(/^\u0025(.*)\u0025$/, '$1');
  var sample = names[0].bytes;
  [ASSUMED_ENCODING].concat(likelyReadings(names)).forEach(function (encoding) {
    var option = document.createElement('option');
    option.value = encoding;
    option.textContent = encoding + ' \u2014 ' + decodeName(sample, encoding);
    menu.appendChild(option);
  });
  menu.value = ASSUMED_ENCODING;
  menu.onchange = function () { showReading(names, menu.value); };
  notice.hidden = false;
}

bindNameReadings();
