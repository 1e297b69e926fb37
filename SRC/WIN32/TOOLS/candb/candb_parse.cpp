// DBC text into a CanDatabase: a recursive-descent parser over the tokens,
// one function per section. Sections candb has no use for are skipped up to
// the next keyword at the start of a line.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>

#include "can_frame_text.h"
#include "candb_internal.h"
#include "candb_lexer.h"

namespace {

// An attribute's definition: its type and, for ENUM, the value texts.
struct AttrDef {
    std::string type;  // INT, HEX, FLOAT, STRING, ENUM
    std::vector<std::string> enumValues;
    std::string defaultText;
    bool hasDefault = false;
};

// An attribute value written before its object may be known: applied after
// the whole file is read.
struct AttrValue {
    std::string name;
    std::string object;  // "BO_", "SG_", "BU_" or ""
    uint32_t rawId = 0;
    std::string signal;
    std::string text;
    bool isString = false;
    unsigned line = 0, column = 0;
};

struct SigValType {
    uint32_t rawId;
    std::string signal;
    int type;
    unsigned line, column;
};

struct MuxVal {
    uint32_t rawId;
    std::string signal;
    std::string multiplexor;
    std::vector<CanDbMuxRange> ranges;
    unsigned line, column;
};

struct ValueDesc {
    uint32_t rawId;
    std::string signal;
    std::vector<CanDbValueName> values;
    unsigned line, column;
};

struct Parser {
    std::vector<DbcToken> tokens;
    size_t pos = 0;
    CanDatabase *db = nullptr;
    CanDbError *error = nullptr;
    bool failed = false;
    std::map<std::string, AttrDef> attrDefs;
    std::vector<AttrValue> attrValues;
    std::vector<SigValType> valTypes;
    std::vector<MuxVal> muxVals;
    std::vector<ValueDesc> valueDescs;
    struct Comment {
        std::string object;
        uint32_t rawId;
        std::string name;
        std::string text;
    };
    std::vector<Comment> comments;
    std::vector<std::pair<uint32_t, std::vector<std::string>>> txNodes;
    std::map<uint32_t, std::pair<unsigned, unsigned>> messagePlace;  // raw id -> line, column
};

const DbcToken &Peek(Parser *p, size_t ahead = 0) {
    size_t i = std::min(p->pos + ahead, p->tokens.size() - 1);
    return p->tokens[i];
}

const DbcToken &Next(Parser *p) {
    const DbcToken &t = Peek(p);
    if (p->pos < p->tokens.size() - 1)
        p->pos++;
    return t;
}

bool FailAt(Parser *p, unsigned line, unsigned column, const std::string &text) {
    if (!p->failed) {
        p->failed = true;
        p->error->line = line;
        p->error->column = column;
        p->error->text = text;
    }
    return false;
}

std::string Describe(const DbcToken &t) {
    switch (t.kind) {
    case DBC_END:
        return "end of file";
    case DBC_STRING:
        return "a string";
    default:
        return "\"" + t.text + "\"";
    }
}

bool Expected(Parser *p, const char *what) {
    const DbcToken &t = Peek(p);
    return FailAt(p, t.line, t.column, std::string("expected ") + what + ", found " + Describe(t));
}

bool IsPunct(const DbcToken &t, char c) {
    return t.kind == DBC_PUNCT && t.text.size() == 1 && t.text[0] == c;
}

bool ExpectPunct(Parser *p, char c) {
    if (!IsPunct(Peek(p), c)) {
        char what[8];
        snprintf(what, sizeof(what), "'%c'", c);
        return Expected(p, what);
    }
    Next(p);
    return true;
}

bool ExpectIdent(Parser *p, const char *what, std::string *out) {
    if (Peek(p).kind != DBC_IDENT)
        return Expected(p, what);
    *out = Next(p).text;
    return true;
}

bool ExpectString(Parser *p, const char *what, std::string *out) {
    if (Peek(p).kind != DBC_STRING)
        return Expected(p, what);
    *out = Next(p).text;
    return true;
}

bool ExpectDouble(Parser *p, const char *what, double *out) {
    const DbcToken &t = Peek(p);
    if (t.kind != DBC_NUMBER)
        return Expected(p, what);
    errno = 0;
    char *end = nullptr;
    double v = strtod(t.text.c_str(), &end);
    if (t.text.find("0x") != std::string::npos || t.text.find("0X") != std::string::npos)
        v = (double)strtoll(t.text.c_str(), &end, 16);
    if (end == t.text.c_str() || *end != 0 || errno == ERANGE)
        return FailAt(p, t.line, t.column, std::string("expected ") + what + ", found \"" + t.text + "\"");
    Next(p);
    *out = v;
    return true;
}

// A whole number within [low, high].
bool ExpectInteger(Parser *p, const char *what, int64_t low, uint64_t high, int64_t *out) {
    const DbcToken &t = Peek(p);
    if (t.kind != DBC_NUMBER)
        return Expected(p, what);
    const char *s = t.text.c_str();
    bool negative = s[0] == '-';
    const char *digits = (s[0] == '-' || s[0] == '+') ? s + 1 : s;
    int base = (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) ? 16 : 10;
    errno = 0;
    char *end = nullptr;
    unsigned long long mag = strtoull(digits, &end, base);
    bool ok = end != digits && *end == 0 && errno != ERANGE;
    if (ok && negative)
        ok = mag <= (unsigned long long)INT64_MAX + 1ull && -(int64_t)(mag - 1) - 1 >= low;
    if (ok && !negative)
        ok = mag <= high;
    if (!ok)
        return FailAt(p, t.line, t.column, std::string("expected ") + what + ", found \"" + t.text + "\"");
    Next(p);
    *out = negative ? -(int64_t)(mag - 1) - 1 : (int64_t)mag;
    return true;
}

bool ExpectMessageId(Parser *p, uint32_t *rawId) {
    int64_t v;
    if (!ExpectInteger(p, "a message identifier", 0, 0xFFFFFFFFull, &v))
        return false;
    *rawId = (uint32_t)v;
    return true;
}

// The keywords that start a section; anything else at the start of a line
// is skipped with its section.
const char *const kSectionKeywords[] = {
    "VERSION", "NS_",         "BS_",        "BU_",          "BO_",      "CM_",          "BA_DEF_",
    "BA_DEF_DEF_", "BA_",     "VAL_",       "VAL_TABLE_",   "SIG_VALTYPE_", "SG_MUL_VAL_", "BO_TX_BU_",
    "EV_",     "ENVVAR_DATA_", "SIG_GROUP_", "SIGTYPE_VALTYPE_", "BA_DEF_REL_", "BA_REL_", "BA_DEF_DEF_REL_",
    "CAT_DEF_", "CAT_",       "FILTER",     "SGTYPE_",      "SGTYPE_VAL_", "SIG_TYPE_REF_", "SIG_TYPE_VAL_",
    "BU_SG_REL_", "BU_EV_REL_", "BU_BO_REL_", "SG_MUL_VAL_", "EV_DATA_", "ENVVAR_DATA_",
};

bool IsSectionStart(const DbcToken &t) {
    if (t.kind != DBC_IDENT || t.column != 1)
        return false;
    for (const char *k : kSectionKeywords)
        if (t.text == k)
            return true;
    return false;
}

void SkipSection(Parser *p) {
    Next(p);
    while (Peek(p).kind != DBC_END && !IsSectionStart(Peek(p)))
        Next(p);
}

bool ParseVersion(Parser *p) {
    Next(p);
    return ExpectString(p, "the version string", &p->db->version);
}

bool ParseNodes(Parser *p) {
    Next(p);
    if (!ExpectPunct(p, ':'))
        return false;
    while (Peek(p).kind == DBC_IDENT && !IsSectionStart(Peek(p))) {
        CanDbNode node;
        node.name = Next(p).text;
        p->db->nodes.push_back(node);
    }
    return true;
}

bool ParseValueList(Parser *p, std::vector<CanDbValueName> *values) {
    while (!IsPunct(Peek(p), ';')) {
        int64_t raw;
        CanDbValueName v;
        if (!ExpectInteger(p, "a raw value or ';'", INT64_MIN, UINT64_MAX, &raw))
            return false;
        v.raw = raw;
        if (!ExpectString(p, "the value's text", &v.text))
            return false;
        values->push_back(v);
    }
    Next(p);
    std::stable_sort(values->begin(), values->end(),
                     [](const CanDbValueName &a, const CanDbValueName &b) { return a.raw < b.raw; });
    return true;
}

// SG_ name [M|mN|mNM] : start|length@order sign (factor,offset) [min|max] "unit" receivers
bool ParseSignal(Parser *p, CanDbMessage *msg) {
    const DbcToken &kw = Next(p);
    CanDbSignal s{};
    s.muxSwitch = -1;
    s.factor = 1;
    if (!ExpectIdent(p, "the signal name", &s.name))
        return false;
    if (Peek(p).kind == DBC_IDENT) {
        const DbcToken &m = Next(p);
        const std::string &t = m.text;
        bool ok = true;
        if (t == "M") {
            s.isMultiplexor = true;
        } else if (t.size() >= 2 && t[0] == 'm') {
            size_t end = 1;
            while (end < t.size() && t[end] >= '0' && t[end] <= '9')
                end++;
            ok = end > 1 && end <= 19 && (end == t.size() || (end + 1 == t.size() && t[end] == 'M'));
            if (ok) {
                uint64_t v = strtoull(t.substr(1, end - 1).c_str(), nullptr, 10);
                s.isMultiplexed = true;
                s.muxRanges.push_back({v, v});
                s.isMultiplexor = end < t.size();
            }
        } else {
            ok = false;
        }
        if (!ok)
            return FailAt(p, m.line, m.column, "expected 'M', 'mN' or ':', found \"" + t + "\"");
    }
    if (!ExpectPunct(p, ':'))
        return false;
    int64_t v;
    const DbcToken &startToken = Peek(p);
    if (!ExpectInteger(p, "the start bit", 0, 511, &v))
        return false;
    s.startBit = (unsigned)v;
    if (!ExpectPunct(p, '|'))
        return false;
    const DbcToken &lengthToken = Peek(p);
    if (!ExpectInteger(p, "the signal length", 1, 64, &v))
        return false;
    s.length = (unsigned)v;
    if (!ExpectPunct(p, '@'))
        return false;
    const DbcToken &orderToken = Peek(p);
    if (orderToken.kind != DBC_NUMBER || (orderToken.text != "0" && orderToken.text != "1"))
        return Expected(p, "the byte order 0 or 1");
    s.byteOrder = orderToken.text == "1" ? CANDB_INTEL : CANDB_MOTOROLA;
    Next(p);
    // Said here, at the signal, rather than at its message: a classic
    // message has 8 bytes whatever its signals claim.
    if (msg->size <= CANDB_MAX_FRAME_BYTES && CanDbSignalBytes(&s) > CANDB_MAX_FRAME_BYTES)
        return FailAt(p, startToken.line, startToken.column,
                      "signal \"" + s.name + "\" of " + msg->name + " lies beyond the message's " +
                          std::to_string(msg->size) + " bytes");
    if (IsPunct(Peek(p), '+'))
        s.isSigned = false;
    else if (IsPunct(Peek(p), '-'))
        s.isSigned = true;
    else
        return Expected(p, "'+' or '-'");
    Next(p);
    if (!ExpectPunct(p, '(') || !ExpectDouble(p, "the factor", &s.factor) || !ExpectPunct(p, ',') ||
        !ExpectDouble(p, "the offset", &s.offset) || !ExpectPunct(p, ')'))
        return false;
    if (s.factor == 0)
        return FailAt(p, lengthToken.line, lengthToken.column, "a signal's factor must not be 0");
    if (!ExpectPunct(p, '[') || !ExpectDouble(p, "the minimum", &s.minimum) || !ExpectPunct(p, '|') ||
        !ExpectDouble(p, "the maximum", &s.maximum) || !ExpectPunct(p, ']'))
        return false;
    if (!ExpectString(p, "the unit string", &s.unit))
        return false;
    // Receivers: names separated by commas, on the signal's line.
    unsigned line = p->tokens[p->pos - 1].line;
    while (Peek(p).kind == DBC_IDENT && Peek(p).line == line && !IsSectionStart(Peek(p))) {
        s.receivers.push_back(Next(p).text);
        if (IsPunct(Peek(p), ','))
            Next(p);
    }
    for (const CanDbSignal &other : msg->signals)
        if (other.name == s.name)
            return FailAt(p, kw.line, kw.column, "signal \"" + s.name + "\" defined twice in " + msg->name);
    msg->signals.push_back(s);
    return true;
}

// BO_ id name: size transmitter, then its SG_ lines.
bool ParseMessage(Parser *p) {
    const DbcToken &kw = Next(p);
    CanDbMessage m{};
    uint32_t rawId;
    if (!ExpectMessageId(p, &rawId))
        return false;
    m.ext = (rawId & 0x80000000u) != 0;
    m.id = rawId & 0x7FFFFFFFu;
    if ((m.ext && m.id > CAN_EXTENDED_ID_MAX) || (!m.ext && m.id > CAN_STANDARD_ID_MAX)) {
        // Identifiers above 0x7FF without the flag are taken as extended.
        if (m.id > 0x1FFFFFFFu)
            return FailAt(p, kw.line, kw.column, "message identifier out of range");
        m.ext = true;
    }
    if (!ExpectIdent(p, "the message name", &m.name) || !ExpectPunct(p, ':'))
        return false;
    int64_t size;
    if (!ExpectInteger(p, "the message size", 0, 64, &size))
        return false;
    m.size = (unsigned)size;
    if (!ExpectIdent(p, "the transmitter", &m.transmitter))
        return false;
    if (m.transmitter != "Vector__XXX")
        m.transmitters.push_back(m.transmitter);
    while (Peek(p).kind == DBC_IDENT && Peek(p).text == "SG_")
        if (!ParseSignal(p, &m))
            return false;
    uint64_t key = ((uint64_t)m.ext << 32) | m.id;
    if (p->db->byId.count(key)) {
        char text[160];
        snprintf(text, sizeof(text), "message identifier %s%lX (%s) defined twice", m.ext ? "extended " : "",
                 (unsigned long)m.id, m.name.c_str());
        return FailAt(p, kw.line, kw.column, text);
    }
    p->db->byId[key] = p->db->messages.size();
    p->messagePlace[rawId] = {kw.line, kw.column};
    p->db->messages.push_back(std::move(m));
    return true;
}

// CM_ ["BU_" node | "BO_" id | "SG_" id signal | "EV_" name] "text" ;
bool ParseComment(Parser *p) {
    Next(p);
    Parser::Comment c{};
    if (Peek(p).kind == DBC_IDENT) {
        c.object = Next(p).text;
        if (c.object == "BO_" || c.object == "SG_") {
            if (!ExpectMessageId(p, &c.rawId))
                return false;
        }
        if (c.object != "BO_" && !ExpectIdent(p, "a name", &c.name))
            return false;
    }
    if (!ExpectString(p, "the comment string", &c.text) || !ExpectPunct(p, ';'))
        return false;
    p->comments.push_back(c);
    return true;
}

// BA_DEF_ [object] "name" type [range | enum values] ;
bool ParseAttrDef(Parser *p) {
    Next(p);
    if (Peek(p).kind == DBC_IDENT)
        Next(p);  // the object kind; candb knows which objects its attributes belong to
    std::string name;
    AttrDef def;
    if (!ExpectString(p, "the attribute name", &name) || !ExpectIdent(p, "the attribute type", &def.type))
        return false;
    if (def.type == "ENUM") {
        while (Peek(p).kind == DBC_STRING) {
            def.enumValues.push_back(Next(p).text);
            if (IsPunct(Peek(p), ','))
                Next(p);
        }
    } else {
        while (Peek(p).kind == DBC_NUMBER)
            Next(p);
    }
    if (!ExpectPunct(p, ';'))
        return false;
    p->attrDefs[name] = def;
    return true;
}

bool ParseAttrValueText(Parser *p, std::string *text, bool *isString) {
    const DbcToken &t = Peek(p);
    if (t.kind != DBC_STRING && t.kind != DBC_NUMBER)
        return Expected(p, "the attribute value");
    *text = t.text;
    *isString = t.kind == DBC_STRING;
    Next(p);
    return true;
}

// BA_DEF_DEF_ "name" value ;
bool ParseAttrDefault(Parser *p) {
    Next(p);
    std::string name, text;
    bool isString;
    if (!ExpectString(p, "the attribute name", &name) || !ParseAttrValueText(p, &text, &isString) ||
        !ExpectPunct(p, ';'))
        return false;
    p->attrDefs[name].defaultText = text;
    p->attrDefs[name].hasDefault = true;
    return true;
}

// BA_ "name" [BU_ node | BO_ id | SG_ id signal | EV_ name] value ;
bool ParseAttrValue(Parser *p) {
    Next(p);
    AttrValue a;
    a.line = Peek(p).line;
    a.column = Peek(p).column;
    if (!ExpectString(p, "the attribute name", &a.name))
        return false;
    if (Peek(p).kind == DBC_IDENT) {
        a.object = Next(p).text;
        if (a.object == "BO_" || a.object == "SG_") {
            if (!ExpectMessageId(p, &a.rawId))
                return false;
        }
        if (a.object != "BO_" && !ExpectIdent(p, "a name", &a.signal))
            return false;
    }
    if (!ParseAttrValueText(p, &a.text, &a.isString) || !ExpectPunct(p, ';'))
        return false;
    p->attrValues.push_back(a);
    return true;
}

// VAL_TABLE_ name raw "text" ... ;
bool ParseValueTable(Parser *p) {
    Next(p);
    CanDbValueTable t;
    if (!ExpectIdent(p, "the value table name", &t.name) || !ParseValueList(p, &t.values))
        return false;
    p->db->valueTables.push_back(t);
    return true;
}

// VAL_ id signal raw "text" ... ;  (or VAL_ envvar raw "text" ... ; skipped)
bool ParseValueDesc(Parser *p) {
    Next(p);
    ValueDesc d;
    d.line = Peek(p).line;
    d.column = Peek(p).column;
    if (Peek(p).kind == DBC_IDENT) {
        std::vector<CanDbValueName> ignored;
        Next(p);
        return ParseValueList(p, &ignored);
    }
    if (!ExpectMessageId(p, &d.rawId) || !ExpectIdent(p, "the signal name", &d.signal))
        return false;
    if (Peek(p).kind == DBC_IDENT) {
        // A reference to a value table: VAL_ id signal table ;
        std::string table = Next(p).text;
        for (const CanDbValueTable &t : p->db->valueTables)
            if (t.name == table)
                d.values = t.values;
        if (!ExpectPunct(p, ';'))
            return false;
    } else if (!ParseValueList(p, &d.values)) {
        return false;
    }
    p->valueDescs.push_back(d);
    return true;
}

// SIG_VALTYPE_ id signal : 1|2 ;
bool ParseSigValType(Parser *p) {
    Next(p);
    SigValType v;
    v.line = Peek(p).line;
    v.column = Peek(p).column;
    int64_t type;
    if (!ExpectMessageId(p, &v.rawId) || !ExpectIdent(p, "the signal name", &v.signal))
        return false;
    if (IsPunct(Peek(p), ':'))
        Next(p);
    if (!ExpectInteger(p, "the value type 0, 1 or 2", 0, 3, &type) || !ExpectPunct(p, ';'))
        return false;
    v.type = (int)type;
    p->valTypes.push_back(v);
    return true;
}

// SG_MUL_VAL_ id signal multiplexor low-high, ... ;
bool ParseMuxVal(Parser *p) {
    Next(p);
    MuxVal m;
    m.line = Peek(p).line;
    m.column = Peek(p).column;
    if (!ExpectMessageId(p, &m.rawId) || !ExpectIdent(p, "the signal name", &m.signal) ||
        !ExpectIdent(p, "the multiplexor name", &m.multiplexor))
        return false;
    while (!IsPunct(Peek(p), ';')) {
        int64_t low, high;
        if (!ExpectInteger(p, "a range low-high or ';'", 0, UINT64_MAX, &low))
            return false;
        // "3-5" reads as 3 and -5.
        if (IsPunct(Peek(p), '-'))
            Next(p);
        const DbcToken &h = Peek(p);
        if (h.kind == DBC_NUMBER && h.text[0] == '-') {
            if (!ExpectInteger(p, "the range's high end", INT64_MIN, 0, &high))
                return false;
            high = -high;
        } else if (!ExpectInteger(p, "the range's high end", 0, UINT64_MAX, &high)) {
            return false;
        }
        if ((uint64_t)high < (uint64_t)low)
            return FailAt(p, h.line, h.column, "a range's high end is below its low end");
        m.ranges.push_back({(uint64_t)low, (uint64_t)high});
        if (IsPunct(Peek(p), ','))
            Next(p);
    }
    Next(p);
    p->muxVals.push_back(m);
    return true;
}

// BO_TX_BU_ id : node, node ;
bool ParseTxNodes(Parser *p) {
    Next(p);
    uint32_t rawId;
    std::vector<std::string> nodes;
    if (!ExpectMessageId(p, &rawId) || !ExpectPunct(p, ':'))
        return false;
    while (Peek(p).kind == DBC_IDENT) {
        nodes.push_back(Next(p).text);
        if (IsPunct(Peek(p), ','))
            Next(p);
    }
    if (!ExpectPunct(p, ';'))
        return false;
    p->txNodes.push_back({rawId, nodes});
    return true;
}

CanDbMessage *MessageByRawId(Parser *p, uint32_t rawId) {
    uint32_t id = rawId & 0x7FFFFFFFu;
    bool ext = (rawId & 0x80000000u) != 0 || CanIdIsExtended(id);
    auto it = p->db->byId.find(((uint64_t)ext << 32) | id);
    return it == p->db->byId.end() ? nullptr : &p->db->messages[it->second];
}

CanDbSignal *SignalOf(CanDbMessage *m, const std::string &name) {
    int i = CanDbFindSignal(m, name.c_str());
    return i < 0 ? nullptr : &m->signals[(size_t)i];
}

// The signal a later section names, or a failure at that section.
CanDbSignal *ResolveSignal(Parser *p, uint32_t rawId, const std::string &name, unsigned line, unsigned column,
                           CanDbMessage **msgOut) {
    CanDbMessage *m = MessageByRawId(p, rawId);
    if (!m) {
        char text[96];
        snprintf(text, sizeof(text), "no message with identifier %lu", (unsigned long)rawId);
        FailAt(p, line, column, text);
        return nullptr;
    }
    CanDbSignal *s = SignalOf(m, name);
    if (!s)
        FailAt(p, line, column, "message " + m->name + " has no signal \"" + name + "\"");
    if (msgOut)
        *msgOut = m;
    return s;
}

std::string AttrText(const AttrDef &def, const std::string &text, bool isString) {
    if (def.type == "ENUM" && !isString) {
        long i = strtol(text.c_str(), nullptr, 10);
        if (i >= 0 && (size_t)i < def.enumValues.size())
            return def.enumValues[(size_t)i];
    }
    return text;
}

// Attributes candb knows: defaults first, then the values written.
bool ApplyAttributes(Parser *p) {
    auto def = [&](const char *name) -> const AttrDef * {
        auto it = p->attrDefs.find(name);
        return it == p->attrDefs.end() ? nullptr : &it->second;
    };
    if (const AttrDef *d = def("GenMsgCycleTime"); d && d->hasDefault)
        for (CanDbMessage &m : p->db->messages)
            m.cycleTimeMs = atoi(d->defaultText.c_str());
    if (const AttrDef *d = def("VFrameFormat"); d && d->hasDefault)
        for (CanDbMessage &m : p->db->messages)
            m.frameFormat = d->defaultText;
    if (const AttrDef *d = def("GenSigStartValue"); d && d->hasDefault)
        for (CanDbMessage &m : p->db->messages)
            for (CanDbSignal &s : m.signals) {
                s.startRaw = strtod(d->defaultText.c_str(), nullptr);
                s.hasStartValue = true;
            }
    for (const AttrValue &a : p->attrValues) {
        AttrDef empty;
        const AttrDef *d = def(a.name.c_str());
        std::string text = AttrText(d ? *d : empty, a.text, a.isString);
        if (a.name == "GenMsgCycleTime" || a.name == "VFrameFormat") {
            if (a.object != "BO_")
                continue;
            CanDbMessage *m = MessageByRawId(p, a.rawId);
            if (!m)
                return FailAt(p, a.line, a.column, "attribute for an unknown message");
            if (a.name == "GenMsgCycleTime")
                m->cycleTimeMs = atoi(text.c_str());
            else
                m->frameFormat = text;
        } else if (a.name == "GenSigStartValue" && a.object == "SG_") {
            CanDbSignal *s = ResolveSignal(p, a.rawId, a.signal, a.line, a.column, nullptr);
            if (!s)
                return false;
            s->startRaw = strtod(text.c_str(), nullptr);
            s->hasStartValue = true;
        }
    }
    return true;
}

void ApplyComments(Parser *p) {
    for (const Parser::Comment &c : p->comments) {
        if (c.object.empty()) {
            p->db->comment = c.text;
        } else if (c.object == "BU_") {
            for (CanDbNode &n : p->db->nodes)
                if (n.name == c.name)
                    n.comment = c.text;
        } else if (c.object == "BO_") {
            if (CanDbMessage *m = MessageByRawId(p, c.rawId))
                m->comment = c.text;
        } else if (c.object == "SG_") {
            if (CanDbMessage *m = MessageByRawId(p, c.rawId))
                if (CanDbSignal *s = SignalOf(m, c.name))
                    s->comment = c.text;
        }
    }
}

bool ApplySignalSections(Parser *p) {
    for (const SigValType &v : p->valTypes) {
        CanDbSignal *s = ResolveSignal(p, v.rawId, v.signal, v.line, v.column, nullptr);
        if (!s)
            return false;
        if (v.type == 1 || v.type == 2) {
            unsigned want = v.type == 1 ? 32 : 64;
            if (s->length != want)
                return FailAt(p, v.line, v.column,
                              "signal \"" + s->name + "\" is " + std::to_string(s->length) + " bits, a " +
                                  (v.type == 1 ? "float" : "double") + " needs " + std::to_string(want));
            s->valueType = v.type == 1 ? CANDB_FLOAT : CANDB_DOUBLE;
        }
    }
    for (const ValueDesc &d : p->valueDescs) {
        CanDbSignal *s = ResolveSignal(p, d.rawId, d.signal, d.line, d.column, nullptr);
        if (!s)
            return false;
        s->valueNames = d.values;
    }
    std::vector<CanDbSignal *> named;
    for (const MuxVal &mv : p->muxVals) {
        CanDbMessage *m = nullptr;
        CanDbSignal *s = ResolveSignal(p, mv.rawId, mv.signal, mv.line, mv.column, &m);
        if (!s)
            return false;
        int sw = CanDbFindSignal(m, mv.multiplexor.c_str());
        if (sw < 0 || !m->signals[(size_t)sw].isMultiplexor)
            return FailAt(p, mv.line, mv.column,
                          "\"" + mv.multiplexor + "\" is not a multiplexor of " + m->name);
        // The ranges of SG_MUL_VAL_ replace the "mN" of the signal line.
        if (std::find(named.begin(), named.end(), s) == named.end()) {
            named.push_back(s);
            s->muxRanges.clear();
        }
        s->muxRanges.insert(s->muxRanges.end(), mv.ranges.begin(), mv.ranges.end());
        s->isMultiplexed = true;
        s->muxSwitch = sw;
    }
    return true;
}

// The single plain multiplexor selects the "mN" signals that SG_MUL_VAL_
// does not name.
bool LinkSimpleMultiplexing(Parser *p) {
    for (CanDbMessage &m : p->db->messages) {
        int sw = -1, count = 0;
        for (size_t i = 0; i < m.signals.size(); i++)
            if (m.signals[i].isMultiplexor && !m.signals[i].isMultiplexed) {
                sw = (int)i;
                count++;
            }
        for (CanDbSignal &s : m.signals) {
            if (!s.isMultiplexed || s.muxSwitch >= 0)
                continue;
            if (count != 1) {
                auto place = p->messagePlace[(m.ext ? 0x80000000u : 0) | m.id];
                return FailAt(p, place.first, place.second,
                              "signal \"" + s.name + "\" of " + m.name +
                                  (count == 0 ? " is multiplexed but the message has no multiplexor"
                                              : " needs SG_MUL_VAL_: the message has several multiplexors"));
            }
            s.muxSwitch = sw;
        }
    }
    return true;
}

bool ParseFile(Parser *p) {
    while (Peek(p).kind != DBC_END) {
        const DbcToken &t = Peek(p);
        if (t.kind != DBC_IDENT)
            return Expected(p, "a section keyword");
        bool ok;
        if (t.text == "VERSION")
            ok = ParseVersion(p);
        else if (t.text == "BU_")
            ok = ParseNodes(p);
        else if (t.text == "BO_")
            ok = ParseMessage(p);
        else if (t.text == "CM_")
            ok = ParseComment(p);
        else if (t.text == "BA_DEF_")
            ok = ParseAttrDef(p);
        else if (t.text == "BA_DEF_DEF_")
            ok = ParseAttrDefault(p);
        else if (t.text == "BA_")
            ok = ParseAttrValue(p);
        else if (t.text == "VAL_TABLE_")
            ok = ParseValueTable(p);
        else if (t.text == "VAL_")
            ok = ParseValueDesc(p);
        else if (t.text == "SIG_VALTYPE_")
            ok = ParseSigValType(p);
        else if (t.text == "SG_MUL_VAL_")
            ok = ParseMuxVal(p);
        else if (t.text == "BO_TX_BU_")
            ok = ParseTxNodes(p);
        else if (t.text == "SG_")
            return Expected(p, "\"BO_\" before this signal");
        else if (t.column == 1 || IsSectionStart(t))
            ok = (SkipSection(p), true);
        else
            return Expected(p, "a section keyword at the start of a line");
        if (!ok)
            return false;
    }
    for (auto &tx : p->txNodes)
        if (CanDbMessage *m = MessageByRawId(p, tx.first))
            for (const std::string &n : tx.second)
                if (std::find(m->transmitters.begin(), m->transmitters.end(), n) == m->transmitters.end())
                    m->transmitters.push_back(n);
    ApplyComments(p);
    if (!ApplySignalSections(p) || !LinkSimpleMultiplexing(p) || !ApplyAttributes(p))
        return false;
    for (CanDbMessage &m : p->db->messages) {
        std::string why;
        if (!CanDbPrepareMessage(&m, &why)) {
            auto place = p->messagePlace[(m.ext ? 0x80000000u : 0) | m.id];
            return FailAt(p, place.first, place.second, why);
        }
    }
    return true;
}

}  // namespace

std::string CanDbErrorText(const CanDbError *error) {
    if (error->line == 0)
        return error->file + ": " + error->text;
    return error->file + ":" + std::to_string(error->line) + ":" + std::to_string(error->column) + ": " +
           error->text;
}

BOOL CanDbParseText(const char *text, size_t size, const char *fileName, CanDatabase *db, CanDbError *error) {
    CanDbError localError;
    if (!error)
        error = &localError;
    if (!db || (!text && size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *error = CanDbError{};
    error->file = fileName ? fileName : "";
    *db = CanDatabase{};
    db->fileName = error->file;
    Parser p;
    p.db = db;
    p.error = error;
    std::string why;
    if (!DbcTokenize(CanDbTextToUtf8(text, size), &p.tokens, &error->line, &error->column, &why)) {
        error->text = why;
        *db = CanDatabase{};
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (!ParseFile(&p)) {
        *db = CanDatabase{};
        db->fileName = error->file;
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    return TRUE;
}

BOOL CanDbLoadFile(const char *path, CanDatabase *db, CanDbError *error) {
    CanDbError localError;
    if (!error)
        error = &localError;
    *error = CanDbError{};
    error->file = path ? path : "";
    if (!path || !db) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int wlen = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    std::wstring wpath(wlen > 0 ? (size_t)wlen : 1, L'\0');
    if (wlen > 0)
        MultiByteToWideChar(CP_UTF8, 0, path, -1, &wpath[0], wlen);
    HANDLE h = CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        error->text = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? "no such file"
                                                                                  : "cannot open the file";
        SetLastError(code);
        return FALSE;
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    BOOL ok;
    while ((ok = ReadFile(h, buffer, sizeof(buffer), &got, nullptr)) && got)
        bytes.append(buffer, got);
    DWORD code = GetLastError();
    CloseHandle(h);
    if (!ok) {
        error->text = "read failed";
        SetLastError(code);
        return FALSE;
    }
    return CanDbParseText(bytes.data(), bytes.size(), path, db, error);
}
