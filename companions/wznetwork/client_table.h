// The process-wide client table: the file named by KYFW_CLIENTS, read on first use, under the routes set
// in code.
#ifndef WZNETWORK_CLIENT_TABLE_H
#define WZNETWORK_CLIENT_TABLE_H

#include <mutex>
#include <string>

#include "client_table_file.h"

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
    ClientTable() = default;
    void loadOnce();

    std::mutex m_mutex;
    bool m_loaded = false;
    ClientMap m_fromFile;
    ClientMap m_fromCode;
};

}  // namespace kyfw

#endif
