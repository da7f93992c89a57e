// Result conversions too long to inline: long texts.
#include "frame/results.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace kp {

PyObject* ToPy<PieceText>::convert(const PieceText& text) {
    ResultLoop loop(text.pieces);
    std::vector<std::string> parts(text.pieces);
    std::size_t total = 0;
    bool ascii = true;
    for (std::size_t p = 0; p < text.pieces; ++p) {
        if (!loop.check()) return nullptr;
        text.append(parts[p], p);
        total += parts[p].size();
        for (unsigned char c : parts[p]) ascii &= c < 0x80;
    }
    if (!ascii) {
        std::string all;
        all.reserve(total);
        for (const auto& part : parts) all += part;
        return PyUnicode_DecodeUTF8(all.data(), static_cast<Py_ssize_t>(all.size()), nullptr);
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(total), 127);
    if (!str) return nullptr;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str));
    for (auto& part : parts) {
        if (!loop.check()) {
            Py_DECREF(str);
            return nullptr;
        }
        std::memcpy(out, part.data(), part.size());
        out += part.size();
        std::string().swap(part);  // the text's peak stays one copy plus a piece
    }
    return str;
}

}  // namespace kp
