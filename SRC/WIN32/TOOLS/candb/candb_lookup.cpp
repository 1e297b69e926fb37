// Finding messages and signals, one database per net, and the decoded
// message as a line of text.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "can_frame_text.h"
#include "candb_internal.h"

static uint64_t IdKey(uint32_t id, bool ext) {
    return ((uint64_t)(ext ? 1 : 0) << 32) | id;
}

const CanDbMessage *CanDbFindMessage(const CanDatabase *db, uint32_t id, bool ext) {
    if (!db)
        return nullptr;
    auto it = db->byId.find(IdKey(id, ext));
    return it == db->byId.end() ? nullptr : &db->messages[it->second];
}

const CanDbMessage *CanDbFindMessageByName(const CanDatabase *db, const char *name) {
    if (!db || !name)
        return nullptr;
    for (const CanDbMessage &m : db->messages)
        if (m.name == name)
            return &m;
    return nullptr;
}

int CanDbFindSignal(const CanDbMessage *msg, const char *name) {
    if (!msg || !name)
        return -1;
    for (size_t i = 0; i < msg->signals.size(); i++)
        if (msg->signals[i].name == name)
            return (int)i;
    return -1;
}

std::vector<const CanDbMessage *> CanDbMessagesOfNode(const CanDatabase *db, const char *node) {
    std::vector<const CanDbMessage *> out;
    if (!db || !node)
        return out;
    for (const CanDbMessage &m : db->messages)
        for (const std::string &t : m.transmitters)
            if (t == node) {
                out.push_back(&m);
                break;
            }
    return out;
}

int CanDbCycleTime(const CanDbMessage *msg) {
    return msg ? msg->cycleTimeMs : 0;
}

// A file for a net replaces, on that net, the files for every net: only
// files for the same net (or both for every net) can clash.
static bool SameNet(const std::string &a, const std::string &b) {
    return _stricmp(a.c_str(), b.c_str()) == 0;
}

static bool NetHasOwnFile(const CanDbSet *set, const char *net) {
    for (const CanDbSetEntry &e : set->entries)
        if (!e.net.empty() && net && _stricmp(e.net.c_str(), net) == 0)
            return true;
    return false;
}

BOOL CanDbSetAdd(CanDbSet *set, const char *net, CanDatabase *db, CanDbError *error) {
    CanDbError localError;
    if (!error)
        error = &localError;
    *error = CanDbError{};
    if (!set || !db) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    error->file = db->fileName;
    std::string netName = net ? net : "";
    for (const CanDbSetEntry &e : set->entries) {
        if (!SameNet(e.net, netName))
            continue;
        for (const CanDbMessage &m : db->messages) {
            const CanDbMessage *other = CanDbFindMessage(&e.db, m.id, m.ext);
            if (!other)
                continue;
            char text[512];
            snprintf(text, sizeof(text), "identifier %s%lX (%s) is already defined as %s by %s%s%s",
                     m.ext ? "extended " : "", (unsigned long)m.id, m.name.c_str(), other->name.c_str(),
                     e.db.fileName.c_str(), netName.empty() ? "" : " on net ",
                     netName.empty() ? "" : netName.c_str());
            error->text = text;
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
    }
    CanDbSetEntry entry;
    entry.net = netName;
    entry.db = std::move(*db);
    set->entries.push_back(std::move(entry));
    return TRUE;
}

BOOL CanDbSetLoad(CanDbSet *set, const char *net, const char *path, CanDbError *error) {
    CanDatabase db;
    if (!CanDbLoadFile(path, &db, error))
        return FALSE;
    return CanDbSetAdd(set, net, &db, error);
}

// "NET=FILE" names a net when the part before '=' could be a net name: a
// drive letter ("C:") or a folder never can.
static void SplitNetArgument(const std::string &arg, std::string *net, std::string *path) {
    net->clear();
    *path = arg;
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0)
        return;
    for (size_t i = 0; i < eq; i++)
        if (!isalnum((unsigned char)arg[i]) && arg[i] != '_' && arg[i] != '-')
            return;
    *net = arg.substr(0, eq);
    *path = arg.substr(eq + 1);
}

static std::string Utf8(const wchar_t *text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string out((size_t)n - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out;
}

BOOL CanDbSetLoadArgument(CanDbSet *set, const wchar_t *argument, CanDbError *error) {
    CanDbError localError;
    if (!error)
        error = &localError;
    *error = CanDbError{};
    if (!set || !argument) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string net, path;
    SplitNetArgument(Utf8(argument), &net, &path);
    if (path.empty()) {
        error->file = Utf8(argument);
        error->text = "expected FILE.dbc or NET=FILE.dbc";
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return CanDbSetLoad(set, net.c_str(), path.c_str(), error);
}

const CanDbMessage *CanDbSetFindFrame(const CanDbSet *set, const char *net, uint32_t canId) {
    bool ext = CanIdIsExtended(canId);
    const CanDbMessage *msg = CanDbSetFind(set, net, canId, ext);
    if (msg == nullptr && !ext) msg = CanDbSetFind(set, net, canId, true);
    return msg;
}

const CanDbMessage *CanDbSetFind(const CanDbSet *set, const char *net, uint32_t id, bool ext) {
    if (!set)
        return nullptr;
    bool own = NetHasOwnFile(set, net);
    for (const CanDbSetEntry &e : set->entries) {
        if (own ? e.net.empty() || _stricmp(e.net.c_str(), net) != 0 : !e.net.empty())
            continue;
        if (const CanDbMessage *m = CanDbFindMessage(&e.db, id, ext))
            return m;
    }
    return nullptr;
}

size_t CanDbFormatDecoded(const CanDbMessage *msg, const CanDbValue *values, char *text, size_t size) {
    if (!msg || !values || !text || size == 0)
        return 0;
    size_t n = 0;
    auto put = [&](const char *fmt, auto... args) {
        if (n + 1 >= size)
            return;
        int w = snprintf(text + n, size - n, fmt, args...);
        if (w > 0)
            n = (size_t)w < size - n ? n + (size_t)w : size - 1;
    };
    put("%s(", msg->name.c_str());
    bool first = true;
    for (size_t i = 0; i < msg->signals.size(); i++) {
        const CanDbValue &v = values[i];
        if (!v.present)
            continue;
        const CanDbSignal &s = msg->signals[i];
        put("%s%s: %.15g", first ? "" : ", ", s.name.c_str(), v.physical);
        if (!s.unit.empty())
            put(" %s", s.unit.c_str());
        if (v.label)
            put(" \"%s\"", v.label);
        first = false;
    }
    if (!msg->decodable)
        put("not decoded: beyond %d bytes", CANDB_MAX_FRAME_BYTES);
    put(")");
    return n;
}
