// The process-wide client table: the file named by KYFW_CLIENTS, read on first use, under the routes set
// in code.
#ifndef WZNETWORK_CLIENT_TABLE_H
#define WZNETWORK_CLIENT_TABLE_H

#include <mutex>
#include <string>

#include "client_table_file.h"
#include "fork_safe_instance.h"

namespace kyfw {

class ClientTable {
  public:
    // Never destroyed, so it serves callers until the process ends, static destructors included.
    static ClientTable& instance();

    // The entry of host; false when it has none (entry is then Direct to the default target).
    bool find(const std::string& host, ClientEntry& entry);
    void set(const std::string& host, const ClientEntry& entry);
    // Forgets the routes set in code and reads the file again on next use.
    void reset();

  private:
    friend class ForkSafeInstance<ClientTable>;
    ClientTable() = default;
    void loadOnce();
    // The table's lock is held across fork(), so a child never inherits it locked by a thread it lacks.
    void lockForFork() { m_mutex.lock(); }
    void unlockAfterFork() { m_mutex.unlock(); }
    void afterForkInChild() { m_mutex.unlock(); }

    std::mutex m_mutex;
    bool m_loaded = false;
    ClientMap m_fromFile;
    ClientMap m_fromCode;
};

}  // namespace kyfw

#endif
