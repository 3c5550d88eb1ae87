#include "PlxTypes.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace PLX {

namespace {
bool IsSpace(char ch) { return std::isspace(static_cast<unsigned char>(ch)) != 0; }
char Lower(char ch) { return static_cast<char>(std::tolower(static_cast<unsigned char>(ch))); }
} // namespace

void PlxMBString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed < 0) {
        m_str.clear();
    } else {
        std::vector<char> buffer(static_cast<size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        m_str.assign(buffer.data(), static_cast<size_t>(needed));
    }
    va_end(args);
}

int PlxMBString::Find(const char* sub, int start) const {
    if (!sub || start < 0 || start > GetLength()) return -1;
    // Readers ask this of every tag of every feature (is it "the_geom", does
    // it hold a field's name): the first byte is looked for with memchr and
    // only its places are compared.
    const size_t n = std::strlen(sub);
    if (n == 0) return start;
    const char* data = m_str.data();
    const char* at = data + start;
    const char* const last = data + m_str.size();
    while (static_cast<size_t>(last - at) >= n) {
        at = static_cast<const char*>(std::memchr(at, sub[0], static_cast<size_t>(last - at) - n + 1));
        if (!at) return -1;
        if (std::memcmp(at + 1, sub + 1, n - 1) == 0) return static_cast<int>(at - data);
        ++at;
    }
    return -1;
}

int PlxMBString::Find(char ch, int start) const {
    if (start < 0 || start > GetLength()) return -1;
    size_t pos = m_str.find(ch, static_cast<size_t>(start));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int PlxMBString::ReverseFind(char ch) const {
    size_t pos = m_str.rfind(ch);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int PlxMBString::Compare(const char* other) const {
    return std::strcmp(m_str.c_str(), other ? other : "");
}

int PlxMBString::CompareNoCase(const char* other) const {
    const char* a = m_str.c_str();
    const char* b = other ? other : "";
    for (;; ++a, ++b) {
        char ca = Lower(*a);
        char cb = Lower(*b);
        if (ca != cb || ca == '\0')
            return static_cast<unsigned char>(ca) - static_cast<unsigned char>(cb);
    }
}

PlxMBString PlxMBString::Left(int count) const {
    count = std::max(0, std::min(count, GetLength()));
    return PlxMBString(m_str.substr(0, static_cast<size_t>(count)));
}

PlxMBString PlxMBString::Right(int count) const {
    count = std::max(0, std::min(count, GetLength()));
    return PlxMBString(m_str.substr(m_str.size() - static_cast<size_t>(count)));
}

PlxMBString PlxMBString::Mid(int first) const { return Mid(first, GetLength()); }

PlxMBString PlxMBString::Mid(int first, int count) const {
    first = std::max(0, std::min(first, GetLength()));
    count = std::max(0, std::min(count, GetLength() - first));
    return PlxMBString(m_str.substr(static_cast<size_t>(first), static_cast<size_t>(count)));
}

PlxMBString& PlxMBString::TrimLeft() {
    size_t i = 0;
    while (i < m_str.size() && IsSpace(m_str[i])) ++i;
    m_str.erase(0, i);
    return *this;
}

PlxMBString& PlxMBString::TrimLeft(const char* set) {
    if (!set) return *this;
    size_t i = m_str.find_first_not_of(set);
    m_str.erase(0, i == std::string::npos ? m_str.size() : i);
    return *this;
}

PlxMBString& PlxMBString::TrimRight() {
    size_t n = m_str.size();
    while (n > 0 && IsSpace(m_str[n - 1])) --n;
    m_str.resize(n);
    return *this;
}

PlxMBString& PlxMBString::TrimRight(const char* set) {
    if (!set) return *this;
    size_t i = m_str.find_last_not_of(set);
    m_str.resize(i == std::string::npos ? 0 : i + 1);
    return *this;
}

std::vector<std::string> PlxMBString::SplitPieces(const char* delimiter, int flag) const {
    std::vector<std::string> pieces;
    std::string delim = delimiter ? delimiter : "";
    if (delim.empty()) {
        if (flag != 0 || !m_str.empty()) pieces.push_back(m_str);
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        size_t pos = m_str.find(delim, start);
        std::string piece = m_str.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        if (flag != 0 || !piece.empty()) pieces.push_back(piece);
        if (pos == std::string::npos) break;
        start = pos + delim.size();
    }
    return pieces;
}

PlxMBString& PlxMBString::MakeUpper() {
    for (char& ch : m_str) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return *this;
}

PlxMBString& PlxMBString::MakeLower() {
    for (char& ch : m_str) ch = Lower(ch);
    return *this;
}

int PlxMBString::Replace(const char* from, const char* to) {
    if (!from || !*from) return 0;
    std::string find = from;
    std::string with = to ? to : "";
    int count = 0;
    for (size_t pos = m_str.find(find); pos != std::string::npos; pos = m_str.find(find, pos + with.size())) {
        m_str.replace(pos, find.size(), with);
        ++count;
    }
    return count;
}

int PlxMBString::Remove(char ch) {
    size_t before = m_str.size();
    m_str.erase(std::remove(m_str.begin(), m_str.end(), ch), m_str.end());
    return static_cast<int>(before - m_str.size());
}

int PlxMBString::ToInt(int base) const {
    return static_cast<int>(std::strtol(m_str.c_str(), nullptr, base));
}

double PlxMBString::ToDouble() const { return std::strtod(m_str.c_str(), nullptr); }

void PlxRect2D::Normalize() {
    if (left > right) std::swap(left, right);
    if (bottom > top) std::swap(bottom, top);
}

void PlxRect2D::Union(const PlxRect2D& other) {
    if (!other.IsValid()) return;
    if (!IsValid()) {
        *this = other;
        return;
    }
    left = std::min(left, other.left);
    bottom = std::min(bottom, other.bottom);
    right = std::max(right, other.right);
    top = std::max(top, other.top);
}

bool PlxRect2D::IntersectRect(const PlxRect2D& a, const PlxRect2D& b) {
    if (!a.IsValid() || !b.IsValid()) {
        SetNull();
        return false;
    }
    PlxRect2D r(std::max(a.left, b.left), std::min(a.top, b.top), std::min(a.right, b.right),
                std::max(a.bottom, b.bottom));
    if (r.right < r.left || r.top < r.bottom) {
        SetNull();
        return false;
    }
    *this = r;
    return true;
}

bool PlxRect2D::Withins(const PlxRect2D& outer) const {
    return left >= outer.left && right <= outer.right && bottom >= outer.bottom && top <= outer.top;
}

} // namespace PLX
