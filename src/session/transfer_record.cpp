#include "session/transfer_record.h"

#include "kylibcurl.h"

namespace kylibcurl::detail {

namespace {

// Callbacks run on the thread that performs, so the record of the transfer in progress is the thread's.
thread_local TransferRecord* t_current = nullptr;

}  // namespace

TransferRecord* CurrentTransfer(const KYLibCurl* session) {
    TransferRecord* current = t_current;
    return current && current->session == session ? current : nullptr;
}

TransferScope::TransferScope(const KYLibCurl& session) {
    m_record.session = &session;
    m_record.bodyStart = session.m_respSize;
    m_record.outer = t_current;
    t_current = &m_record;
}

TransferScope::~TransferScope() { t_current = m_record.outer; }

}  // namespace kylibcurl::detail
