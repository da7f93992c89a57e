#include "frame/stubs.hpp"

#include <mutex>
#include <stdexcept>

namespace kp {
namespace {

std::vector<StubRow>& rows() {
    static std::vector<StubRow> all;
    return all;
}
std::mutex& rows_lock() {
    static std::mutex m;
    return m;
}

}  // namespace

void add_stub(StubRow row) {
    // The export is one line per row and one field per part.
    for (char c : row.raises.text)
        if (c == '\t' || c == '\n') throw std::logic_error("Raises text with a tab or a newline");
    std::lock_guard<std::mutex> lock(rows_lock());
    rows().push_back(std::move(row));
}

}  // namespace kp

// One line per row: kind, owner, name, result, summary, raises (entries
// joined by ';'), then name:type per parameter, tab-separated. Read by tools/gen_stubs.py through ctypes.
extern "C" __attribute__((visibility("default"))) const char* kestrum_stub_rows() {
    static std::string text;
    std::lock_guard<std::mutex> lock(kp::rows_lock());
    text.clear();
    for (const kp::StubRow& r : kp::rows()) {
        text += std::string(r.kind) + '\t' + r.owner + '\t' + r.name + '\t' + r.result + '\t' + r.summary + '\t' +
                r.raises.text;
        for (const kp::StubParam& p : r.params) text += '\t' + p.name + ':' + p.type;
        text += '\n';
    }
    return text.c_str();
}
