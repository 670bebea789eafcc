// A throw-away directory for the demo's wire trace: the library writes "log.txt" into the current
// directory, so the demo steps into this one for the traced request and back out afterwards.
#ifndef KYDEMO_DEMO_TRACE_DIR_H
#define KYDEMO_DEMO_TRACE_DIR_H

#include <string>

namespace kydemo {

class DemoTraceDir {
  public:
    DemoTraceDir();   // creates the directory under $TMPDIR (or /tmp)
    ~DemoTraceDir();  // steps back out if needed, removes log.txt and the directory
    DemoTraceDir(const DemoTraceDir&) = delete;
    DemoTraceDir& operator=(const DemoTraceDir&) = delete;

    std::string LogPath() const { return m_path + "/log.txt"; }
    // Makes the directory the current one; false when it could not be created or entered.
    bool Enter();
    // Returns to the directory that was current before Enter.
    void Leave();
    std::string ReadLog() const;

  private:
    std::string m_path;
    int m_previousDir = -1;
};

}  // namespace kydemo

#endif
