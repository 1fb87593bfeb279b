#include <charconv>
#include <iterator>

#include "GTMNSString+HTML.h"

namespace tessaro {

// Names from the HTML 4.01 entity sets (Latin-1, symbols, special) and XML's &apos;.
constexpr HTMLEscapeMap gAsciiHTMLEscapeMap[] = {
    {"&quot;", 34},     {"&amp;", 38},      {"&apos;", 39},      {"&lt;", 60},        {"&gt;", 62},
    {"&nbsp;", 160},    {"&iexcl;", 161},   {"&cent;", 162},     {"&pound;", 163},    {"&curren;", 164},
    {"&yen;", 165},     {"&brvbar;", 166},  {"&sect;", 167},     {"&uml;", 168},      {"&copy;", 169},
    {"&ordf;", 170},    {"&laquo;", 171},   {"&not;", 172},      {"&shy;", 173},      {"&reg;", 174},
    {"&macr;", 175},    {"&deg;", 176},     {"&plusmn;", 177},   {"&sup2;", 178},     {"&sup3;", 179},
    {"&acute;", 180},   {"&micro;", 181},   {"&para;", 182},     {"&middot;", 183},   {"&cedil;", 184},
    {"&sup1;", 185},    {"&ordm;", 186},    {"&raquo;", 187},    {"&frac14;", 188},   {"&frac12;", 189},
    {"&frac34;", 190},  {"&iquest;", 191},  {"&Agrave;", 192},   {"&Aacute;", 193},   {"&Acirc;", 194},
    {"&Atilde;", 195},  {"&Auml;", 196},    {"&Aring;", 197},    {"&AElig;", 198},    {"&Ccedil;", 199},
    {"&Egrave;", 200},  {"&Eacute;", 201},  {"&Ecirc;", 202},    {"&Euml;", 203},     {"&Igrave;", 204},
    {"&Iacute;", 205},  {"&Icirc;", 206},   {"&Iuml;", 207},     {"&ETH;", 208},      {"&Ntilde;", 209},
    {"&Ograve;", 210},  {"&Oacute;", 211},  {"&Ocirc;", 212},    {"&Otilde;", 213},   {"&Ouml;", 214},
    {"&times;", 215},   {"&Oslash;", 216},  {"&Ugrave;", 217},   {"&Uacute;", 218},   {"&Ucirc;", 219},
    {"&Uuml;", 220},    {"&Yacute;", 221},  {"&THORN;", 222},    {"&szlig;", 223},    {"&agrave;", 224},
    {"&aacute;", 225},  {"&acirc;", 226},   {"&atilde;", 227},   {"&auml;", 228},     {"&aring;", 229},
    {"&aelig;", 230},   {"&ccedil;", 231},  {"&egrave;", 232},   {"&eacute;", 233},   {"&ecirc;", 234},
    {"&euml;", 235},    {"&igrave;", 236},  {"&iacute;", 237},   {"&icirc;", 238},    {"&iuml;", 239},
    {"&eth;", 240},     {"&ntilde;", 241},  {"&ograve;", 242},   {"&oacute;", 243},   {"&ocirc;", 244},
    {"&otilde;", 245},  {"&ouml;", 246},    {"&divide;", 247},   {"&oslash;", 248},   {"&ugrave;", 249},
    {"&uacute;", 250},  {"&ucirc;", 251},   {"&uuml;", 252},     {"&yacute;", 253},   {"&thorn;", 254},
    {"&yuml;", 255},    {"&OElig;", 338},   {"&oelig;", 339},    {"&Scaron;", 352},   {"&scaron;", 353},
    {"&Yuml;", 376},    {"&fnof;", 402},    {"&circ;", 710},     {"&tilde;", 732},    {"&Alpha;", 913},
    {"&Beta;", 914},    {"&Gamma;", 915},   {"&Delta;", 916},    {"&Epsilon;", 917},  {"&Zeta;", 918},
    {"&Eta;", 919},     {"&Theta;", 920},   {"&Iota;", 921},     {"&Kappa;", 922},    {"&Lambda;", 923},
    {"&Mu;", 924},      {"&Nu;", 925},      {"&Xi;", 926},       {"&Omicron;", 927},  {"&Pi;", 928},
    {"&Rho;", 929},     {"&Sigma;", 931},   {"&Tau;", 932},      {"&Upsilon;", 933},  {"&Phi;", 934},
    {"&Chi;", 935},     {"&Psi;", 936},     {"&Omega;", 937},    {"&alpha;", 945},    {"&beta;", 946},
    {"&gamma;", 947},   {"&delta;", 948},   {"&epsilon;", 949},  {"&zeta;", 950},     {"&eta;", 951},
    {"&theta;", 952},   {"&iota;", 953},    {"&kappa;", 954},    {"&lambda;", 955},   {"&mu;", 956},
    {"&nu;", 957},      {"&xi;", 958},      {"&omicron;", 959},  {"&pi;", 960},       {"&rho;", 961},
    {"&sigmaf;", 962},  {"&sigma;", 963},   {"&tau;", 964},      {"&upsilon;", 965},  {"&phi;", 966},
    {"&chi;", 967},     {"&psi;", 968},     {"&omega;", 969},    {"&thetasym;", 977}, {"&upsih;", 978},
    {"&piv;", 982},     {"&ensp;", 8194},   {"&emsp;", 8195},    {"&thinsp;", 8201},  {"&zwnj;", 8204},
    {"&zwj;", 8205},    {"&lrm;", 8206},    {"&rlm;", 8207},     {"&ndash;", 8211},   {"&mdash;", 8212},
    {"&lsquo;", 8216},  {"&rsquo;", 8217},  {"&sbquo;", 8218},   {"&ldquo;", 8220},   {"&rdquo;", 8221},
    {"&bdquo;", 8222},  {"&dagger;", 8224}, {"&Dagger;", 8225},  {"&bull;", 8226},    {"&hellip;", 8230},
    {"&permil;", 8240}, {"&prime;", 8242},  {"&Prime;", 8243},   {"&lsaquo;", 8249},  {"&rsaquo;", 8250},
    {"&oline;", 8254},  {"&frasl;", 8260},  {"&euro;", 8364},    {"&image;", 8465},   {"&weierp;", 8472},
    {"&real;", 8476},   {"&trade;", 8482},  {"&alefsym;", 8501}, {"&larr;", 8592},    {"&uarr;", 8593},
    {"&rarr;", 8594},   {"&darr;", 8595},   {"&harr;", 8596},    {"&crarr;", 8629},   {"&lArr;", 8656},
    {"&uArr;", 8657},   {"&rArr;", 8658},   {"&dArr;", 8659},    {"&hArr;", 8660},    {"&forall;", 8704},
    {"&part;", 8706},   {"&exist;", 8707},  {"&empty;", 8709},   {"&nabla;", 8711},   {"&isin;", 8712},
    {"&notin;", 8713},  {"&ni;", 8715},     {"&prod;", 8719},    {"&sum;", 8721},     {"&minus;", 8722},
    {"&lowast;", 8727}, {"&radic;", 8730},  {"&prop;", 8733},    {"&infin;", 8734},   {"&ang;", 8736},
    {"&and;", 8743},    {"&or;", 8744},     {"&cap;", 8745},     {"&cup;", 8746},     {"&int;", 8747},
    {"&there4;", 8756}, {"&sim;", 8764},    {"&cong;", 8773},    {"&asymp;", 8776},   {"&ne;", 8800},
    {"&equiv;", 8801},  {"&le;", 8804},     {"&ge;", 8805},      {"&sub;", 8834},     {"&sup;", 8835},
    {"&nsub;", 8836},   {"&sube;", 8838},   {"&supe;", 8839},    {"&oplus;", 8853},   {"&otimes;", 8855},
    {"&perp;", 8869},   {"&sdot;", 8901},   {"&lceil;", 8968},   {"&rceil;", 8969},   {"&lfloor;", 8970},
    {"&rfloor;", 8971}, {"&lang;", 9001},   {"&rang;", 9002},    {"&loz;", 9674},     {"&spades;", 9824},
    {"&clubs;", 9827},  {"&hearts;", 9829}, {"&diams;", 9830},
};
constexpr size_t gAsciiHTMLEscapeMapSize = std::size(gAsciiHTMLEscapeMap);

namespace {

constexpr bool isStrictlyAscending(const HTMLEscapeMap* table, size_t size) {
  for (size_t i = 1; i < size; ++i) {
    if (table[i - 1].uchar >= table[i].uchar) return false;
  }
  return true;
}

static_assert(gAsciiHTMLEscapeMapSize == 253);
// The lookup is a binary search, which needs this order.
static_assert(isStrictlyAscending(gAsciiHTMLEscapeMap, gAsciiHTMLEscapeMapSize));

constexpr char16_t kReplacementCharacter = 0xFFFD;
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// One character read from UTF-8: its UTF-16 code units and the bytes it took.
struct Decoded {
  char16_t units[2];
  int unitCount;
  size_t length;
  bool valid;
};

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes the character at text[pos]. An ill-formed sequence yields U+FFFD for its longest valid
// prefix (at least one byte), so decoding resumes at the first byte that broke it.
Decoded decodeAt(std::string_view text, size_t pos) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t left = text.size() - pos;
  const unsigned char lead = bytes[pos];
  if (lead < 0x80) return {{lead, 0}, 1, 1, true};

  size_t need;
  char32_t cp;
  // The second byte's range excludes overlong forms, surrogates and values above U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {{kReplacementCharacter, 0}, 1, 1, false};
  }

  size_t taken = 1;
  for (size_t i = 0; i < need; ++i) {
    if (taken >= left) return {{kReplacementCharacter, 0}, 1, taken, false};
    const unsigned char byte = bytes[pos + taken];
    const bool inRange = i == 0 ? (byte >= low && byte <= high) : isContinuation(byte);
    if (!inRange) return {{kReplacementCharacter, 0}, 1, taken, false};
    cp = (cp << 6) | (byte & 0x3F);
    ++taken;
  }
  if (cp < 0x10000) return {{static_cast<char16_t>(cp), 0}, 1, taken, true};
  cp -= 0x10000;
  return {{static_cast<char16_t>(0xD800 + (cp >> 10)), static_cast<char16_t>(0xDC00 + (cp & 0x3FF))},
          2,
          taken,
          true};
}

const HTMLEscapeMap* findEntity(char16_t unit, const HTMLEscapeMap* table, size_t size) {
  if (size == 0 || unit < table[0].uchar || unit > table[size - 1].uchar) return nullptr;
  size_t lowIndex = 0, highIndex = size;
  while (lowIndex < highIndex) {
    const size_t mid = lowIndex + (highIndex - lowIndex) / 2;
    const int order = EscapeMapCompare(&unit, &table[mid]);
    if (order == 0) return &table[mid];
    if (order < 0) {
      highIndex = mid;
    } else {
      lowIndex = mid + 1;
    }
  }
  return nullptr;
}

void appendNumericReference(std::string& out, char16_t unit) {
  char digits[8];
  const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(unit)).ptr;
  out += "&#";
  out.append(digits, end);
  out += ';';
}

void appendUtf8(std::string& out, char16_t unit) {
  if (unit >= 0xD800 && unit <= 0xDFFF) {
    // A surrogate separated from its partner has no UTF-8 form.
    out += kReplacementUtf8;
  } else if (unit < 0x80) {
    out += static_cast<char>(unit);
  } else if (unit < 0x800) {
    out += static_cast<char>(0xC0 | (unit >> 6));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (unit >> 12));
    out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (unit & 0x3F));
  }
}

}  // namespace

int EscapeMapCompare(const void* ucharVoid, const void* mapVoid) {
  const char16_t key = *static_cast<const char16_t*>(ucharVoid);
  const char16_t entry = static_cast<const HTMLEscapeMap*>(mapVoid)->uchar;
  return key < entry ? -1 : (key > entry ? 1 : 0);
}

std::string gtm_stringByEscapingHTMLUsingTable(std::string_view text, const HTMLEscapeMap* table, size_t size,
                                               bool escapingUnicode) {
  if (text.empty()) return {};
  if (table == nullptr) size = 0;
  try {
    std::string out;
    // Names are mostly plain; a little room spares a reallocation for a few entities.
    out.reserve(text.size() + text.size() / 4 + 16);

    // ASCII units that have an entry: sorted, they lead the table. Knowing them up front spares
    // plain ASCII (most of any name) the decoding and the search.
    uint64_t asciiWithEntity[2] = {0, 0};
    for (size_t i = 0; i < size && table[i].uchar < 128; ++i) {
      asciiWithEntity[table[i].uchar >> 6] |= uint64_t{1} << (table[i].uchar & 63);
    }

    // Bytes of text[runStart, pos) are copied unchanged, appended in one piece when the run ends.
    size_t runStart = 0;
    size_t pos = 0;
    while (pos < text.size()) {
      const auto byte = static_cast<unsigned char>(text[pos]);
      if (byte < 0x80 && (asciiWithEntity[byte >> 6] & (uint64_t{1} << (byte & 63))) == 0) {
        ++pos;
        continue;
      }
      const Decoded ch = decodeAt(text, pos);
      const HTMLEscapeMap* entities[2] = {nullptr, nullptr};
      bool plain = ch.valid;
      for (int i = 0; i < ch.unitCount; ++i) {
        entities[i] = findEntity(ch.units[i], table, size);
        if (entities[i] != nullptr || (escapingUnicode && ch.units[i] >= 128)) plain = false;
      }
      if (plain) {
        pos += ch.length;
        continue;
      }

      out.append(text.data() + runStart, pos - runStart);
      // A character beyond the Basic Multilingual Plane is one character: one reference for the
      // whole of it, since a reference to each half of its UTF-16 pair renders as two U+FFFD.
      if (ch.unitCount == 2 && entities[0] == nullptr && entities[1] == nullptr) {
        const char32_t cp = 0x10000 + ((static_cast<char32_t>(ch.units[0]) - 0xD800) << 10) +
                            (static_cast<char32_t>(ch.units[1]) - 0xDC00);
        char digits[12];
        const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(cp)).ptr;
        out += "&#";
        out.append(digits, end);
        out += ';';
        pos += ch.length;
        runStart = pos;
        continue;
      }
      for (int i = 0; i < ch.unitCount; ++i) {
        if (entities[i] != nullptr) {
          out += entities[i]->escapeSequence;
        } else if (escapingUnicode && ch.units[i] >= 128) {
          appendNumericReference(out, ch.units[i]);
        } else if (ch.unitCount == 2) {
          appendUtf8(out, ch.units[i]);
        } else if (ch.valid) {
          out.append(text.data() + pos, ch.length);
        } else {
          out += kReplacementUtf8;
        }
      }
      pos += ch.length;
      runStart = pos;
    }
    out.append(text.data() + runStart, pos - runStart);
    return out;
  } catch (...) {
    return {};
  }
}

std::string gtm_stringByEscapingForAsciiHTML(std::string_view text) {
  return gtm_stringByEscapingHTMLUsingTable(text, gAsciiHTMLEscapeMap, gAsciiHTMLEscapeMapSize, true);
}

}  // namespace tessaro
