// Basic types of the host platform: the byte string, the growable array, the
// ordered dictionary, the map rectangle and the time value. Every other host
// library and the plug-in speak in these types, so they carry no dependency
// beyond the C++ standard library.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace PLX {

// A byte string. Positions and lengths are ints; a failed search gives -1.
// Nothing here escapes, decodes or interprets character sets: bytes in, bytes out.
class PlxMBString {
public:
    PlxMBString() = default;
    PlxMBString(const char* text) : m_str(text ? text : "") {}
    PlxMBString(const char* text, int length) : m_str(text ? std::string(text, static_cast<size_t>(length)) : std::string()) {}
    PlxMBString(const std::string& text) : m_str(text) {}
    PlxMBString(std::string&& text) : m_str(std::move(text)) {}

    const char* c_str() const { return m_str.c_str(); }
    const std::string& str() const { return m_str; }
    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    char GetAt(int index) const { return m_str[static_cast<size_t>(index)]; }
    char operator[](int index) const { return GetAt(index); }

    // printf-style formatting; replaces the content.
    void Format(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Case-sensitive search from `start`; -1 when absent or `start` is out of range.
    int Find(const char* sub, int start = 0) const;
    int Find(const PlxMBString& sub, int start = 0) const { return Find(sub.c_str(), start); }
    int Find(char ch, int start = 0) const;
    int ReverseFind(char ch) const;

    // <0, 0, >0 like strcmp; CompareNoCase folds ASCII letters only.
    int Compare(const char* other) const;
    int Compare(const PlxMBString& other) const { return Compare(other.c_str()); }
    int CompareNoCase(const char* other) const;
    int CompareNoCase(const PlxMBString& other) const { return CompareNoCase(other.c_str()); }

    // Substrings clamp their arguments to the string, never fail.
    PlxMBString Left(int count) const;
    PlxMBString Right(int count) const;
    PlxMBString Mid(int first) const;
    PlxMBString Mid(int first, int count) const;

    // Without argument: trims white space. With a set: trims every leading
    // (trailing) character that occurs anywhere in the set, so TrimLeft("EPSG:")
    // turns "EPSG:3857" into "3857".
    PlxMBString& TrimLeft();
    PlxMBString& TrimLeft(const char* set);
    PlxMBString& TrimRight();
    PlxMBString& TrimRight(const char* set);
    PlxMBString& Trim() { TrimRight(); return TrimLeft(); }

    // Splits at every occurrence of `delimiter` and appends the pieces to `out`
    // (which is not emptied first). Flag 0 drops empty pieces, so "a  b" split
    // at " " gives two pieces; any other flag keeps them. An empty delimiter
    // yields the whole string as one piece. Returns the number of pieces added.
    template <class Array>
    int Split(const char* delimiter, Array& out, int flag = 0) const {
        std::vector<std::string> pieces = SplitPieces(delimiter, flag);
        for (auto& piece : pieces) out.Add(PlxMBString(std::move(piece)));
        return static_cast<int>(pieces.size());
    }

    PlxMBString& MakeUpper();
    PlxMBString& MakeLower();
    // Replaces every occurrence; returns how many were replaced.
    int Replace(const char* from, const char* to);
    // Removes every occurrence of `ch`; returns how many were removed.
    int Remove(char ch);

    // Like strtol/strtod on the leading text: white space skipped, reading stops
    // at the first character that does not fit; 0 when nothing can be read.
    int ToInt(int base = 10) const;
    double ToDouble() const;

    PlxMBString& operator+=(const PlxMBString& other) { m_str += other.m_str; return *this; }
    PlxMBString& operator+=(const char* other) { m_str += (other ? other : ""); return *this; }
    PlxMBString& operator+=(char ch) { m_str += ch; return *this; }

    friend PlxMBString operator+(PlxMBString a, const PlxMBString& b) { return a += b; }
    friend PlxMBString operator+(PlxMBString a, const char* b) { return a += b; }
    friend PlxMBString operator+(const char* a, const PlxMBString& b) { return PlxMBString(a) += b; }
    friend bool operator==(const PlxMBString& a, const PlxMBString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const PlxMBString& a, const char* b) { return a.m_str == (b ? b : ""); }
    friend bool operator!=(const PlxMBString& a, const PlxMBString& b) { return a.m_str != b.m_str; }
    friend bool operator!=(const PlxMBString& a, const char* b) { return !(a == b); }
    // Byte order, case-sensitive: the order in which dictionaries iterate.
    friend bool operator<(const PlxMBString& a, const PlxMBString& b) { return a.m_str < b.m_str; }

private:
    std::vector<std::string> SplitPieces(const char* delimiter, int flag) const;
    std::string m_str;
};

// A growable array. Indexes are ints; an index out of range is the caller's bug
// (as with the platform's own array) and is not checked beyond debug builds.
template <class T>
class PlxArray {
public:
    PlxArray() = default;

    int GetSize() const { return static_cast<int>(m_items.size()); }
    int GetCount() const { return GetSize(); }
    bool IsEmpty() const { return m_items.empty(); }
    int GetUpperBound() const { return GetSize() - 1; }

    const T& GetAt(int index) const { return m_items[static_cast<size_t>(index)]; }
    T& GetAt(int index) { return m_items[static_cast<size_t>(index)]; }
    const T& operator[](int index) const { return GetAt(index); }
    T& operator[](int index) { return GetAt(index); }
    void SetAt(int index, const T& item) { m_items[static_cast<size_t>(index)] = item; }

    // Appends one item; returns its index.
    int Add(const T& item) { m_items.push_back(item); return GetSize() - 1; }
    // Appends all items of `other`; returns the index of the first appended one.
    int Append(const PlxArray& other) {
        int first = GetSize();
        m_items.insert(m_items.end(), other.m_items.begin(), other.m_items.end());
        return first;
    }
    void InsertAt(int index, const T& item) { m_items.insert(m_items.begin() + index, item); }
    // The growth step is accepted for compatibility; the standard vector grows by itself.
    void SetSize(int size, int growBy = -1) { (void)growBy; m_items.resize(static_cast<size_t>(size < 0 ? 0 : size)); }
    void RemoveAt(int index, int count = 1) {
        m_items.erase(m_items.begin() + index, m_items.begin() + index + count);
    }
    void RemoveAll() { m_items.clear(); }
    void FreeExtra() { m_items.shrink_to_fit(); }
    void Copy(const PlxArray& other) { if (this != &other) m_items = other.m_items; }

    typename std::vector<T>::iterator begin() { return m_items.begin(); }
    typename std::vector<T>::iterator end() { return m_items.end(); }
    typename std::vector<T>::const_iterator begin() const { return m_items.begin(); }
    typename std::vector<T>::const_iterator end() const { return m_items.end(); }

private:
    std::vector<T> m_items;
};

using PlxStringArray = PlxArray<PlxMBString>;

// An ordered map. Keys iterate in ascending order (byte order for strings,
// case-sensitive: "REQUEST" < "SERVICE" < "VERSION" < "map"); setting a key that
// is already there replaces its value.
template <class K, class V>
class PlxDict {
public:
    using Map = std::map<K, V>;

    int GetCount() const { return static_cast<int>(m_map.size()); }
    bool IsEmpty() const { return m_map.empty(); }

    bool Lookup(const K& key, V& value) const {
        auto it = m_map.find(key);
        if (it == m_map.end()) return false;
        value = it->second;
        return true;
    }
    bool Contains(const K& key) const { return m_map.count(key) != 0; }
    void SetAt(const K& key, const V& value) { m_map[key] = value; }
    V& operator[](const K& key) { return m_map[key]; }
    bool RemoveKey(const K& key) { return m_map.erase(key) != 0; }
    void RemoveAll() { m_map.clear(); }

    typename Map::iterator begin() { return m_map.begin(); }
    typename Map::iterator end() { return m_map.end(); }
    typename Map::const_iterator begin() const { return m_map.begin(); }
    typename Map::const_iterator end() const { return m_map.end(); }

private:
    Map m_map;
};

// A map rectangle: left, top, right, bottom, with y growing upwards (top is the
// larger y). The rules every caller relies on:
// - A default-constructed rectangle is the null rectangle (0, 0, 0, 0).
// - IsEmpty: no area, i.e. Width() <= 0 or Height() <= 0. The null rectangle,
//   points, lines and inverted rectangles are all empty.
// - IsValid: right >= left and top >= bottom and not null. Points and lines are
//   valid (a one-point feature has such bounds); null and inverted ones are not.
// - Union ignores an operand that is not valid, so uniting into a
//   default-constructed rectangle starts the union; uniting two invalid
//   rectangles leaves the null rectangle.
// - IntersectRect of two valid rectangles is their common closed part (which may
//   be a line or a point where they touch); when either is invalid or they do not
//   meet, the result is the null rectangle and the call returns false.
// - Withins(outer): this rectangle lies inside `outer`, edges included.
struct PlxRect2D {
    double left = 0.0;
    double top = 0.0;
    double right = 0.0;
    double bottom = 0.0;

    PlxRect2D() = default;
    PlxRect2D(double l, double t, double r, double b) : left(l), top(t), right(r), bottom(b) {}

    double Width() const { return right - left; }
    double Height() const { return top - bottom; }
    bool IsNull() const { return left == 0.0 && top == 0.0 && right == 0.0 && bottom == 0.0; }
    bool IsEmpty() const { return Width() <= 0.0 || Height() <= 0.0; }
    bool IsValid() const { return !IsNull() && right >= left && top >= bottom; }
    void SetNull() { *this = PlxRect2D(); }

    // Swaps edges so that left <= right and bottom <= top.
    void Normalize();
    // Makes this the smallest rectangle that holds both this and `other`.
    void Union(const PlxRect2D& other);
    // Replaces this by the common part of `a` and `b` (see the rules above).
    bool IntersectRect(const PlxRect2D& a, const PlxRect2D& b);
    bool Withins(const PlxRect2D& outer) const;
    bool operator==(const PlxRect2D& o) const {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
    bool operator!=(const PlxRect2D& o) const { return !(*this == o); }
};

// A point in time as days since 1899-12-30 (the platform's date value); 0.0 is
// "no date".
struct PlxTime {
    double value = 0.0;
    PlxTime() = default;
    explicit PlxTime(double days) : value(days) {}
};

} // namespace PLX
