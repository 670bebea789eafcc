#include "client_table.h"

#include <cstdlib>

namespace kyfw {

namespace {

const ForkSafeInstance<ClientTable> g_table;

}  // namespace

ClientTable& ClientTable::instance() { return ForkSafeInstance<ClientTable>::get(); }

void ClientTable::loadOnce() {
    if (m_loaded) return;
    // An unset or empty KYFW_CLIENTS means no table file. Noted as loaded only once read: a table that
    // could not be read for want of memory is read again next time.
    const char* path = getenv("KYFW_CLIENTS");
    m_fromFile = path && *path ? readClientTableFile(path) : ClientMap();
    m_loaded = true;
}

bool ClientTable::find(const std::string& host, ClientEntry& entry) {
    std::string key = hostKey(host);
    std::lock_guard<std::mutex> lock(m_mutex);
    loadOnce();
    for (const ClientMap* map : {&m_fromCode, &m_fromFile}) {
        auto it = map->find(key);
        if (it != map->end()) {
            entry = it->second;
            return true;
        }
    }
    entry = ClientEntry();
    return false;
}

void ClientTable::set(const std::string& host, const ClientEntry& entry) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fromCode[hostKey(host)] = entry;
}

void ClientTable::reset() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fromCode.clear();
    m_fromFile.clear();
    m_loaded = false;
}

}  // namespace kyfw
