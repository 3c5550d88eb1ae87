#include "VmMarkupOutline.h"

#include <cctype>
#include <cstring>

namespace VMK {
namespace markup {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Name characters as the tree parser takes them: ASCII letters, '_', ':' and
// every byte of a multi-byte UTF-8 sequence; digits, '-' and '.' after the
// first. A table, since the scan asks for every byte of every tag name.
struct NameTable {
    unsigned char start[256] = {};
    unsigned char inside[256] = {};
    NameTable() {
        for (int c = 0; c < 256; ++c) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            start[c] = letter || c == '_' || c == ':' || c >= 0x80;
            inside[c] = start[c] || (c >= '0' && c <= '9') || c == '-' || c == '.';
        }
    }
};
const NameTable kNames;

bool IsNameStart(unsigned char c) { return kNames.start[c] != 0; }

bool IsNameChar(unsigned char c) { return kNames.inside[c] != 0; }

std::string Lower(const char* text, size_t size) {
    std::string lower(text, size);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// One pass over the markup. Tags are checked (names, attribute syntax,
// nesting, matching end tags); comments, CDATA sections, processing
// instructions and the document type are skipped whole; character data is
// not looked at, as the tree parser does not refuse any either.
class Scanner {
public:
    Scanner(const char* text, size_t size, DocumentOutline& outline, const std::function<void(size_t)>& passed,
            bool rootTagOnly = false)
        : m_s(text), m_n(size), m_outline(outline), m_passed(passed), m_rootTagOnly(rootTagOnly) {}

    bool Run() {
        if (m_n >= 3 && std::memcmp(m_s, "\xEF\xBB\xBF", 3) == 0) m_pos = 3;
        bool haveRoot = false;
        while (m_pos < m_n) {
            const char* lt = static_cast<const char*>(std::memchr(m_s + m_pos, '<', m_n - m_pos));
            const size_t next = lt ? static_cast<size_t>(lt - m_s) : m_n;
            for (size_t i = m_pos; i < next; ++i)
                if (!IsSpace(m_s[i])) return Fail("Text outside the root element", i);
            m_pos = next;
            if (!lt) break;
            if (Starts("<?")) {
                if (!SkipPast("?>", "Error parsing document declaration/processing instruction")) return false;
            } else if (Starts("<!--")) {
                if (!SkipPast("-->", "Error parsing comment")) return false;
            } else if (Starts("<!DOCTYPE")) {
                if (!Doctype()) return false;
            } else if (Starts("<![CDATA[")) {
                return Fail("CDATA outside the root element", m_pos);
            } else if (m_pos + 1 < m_n && IsNameStart(static_cast<unsigned char>(m_s[m_pos + 1]))) {
                if (haveRoot) return Fail("More than one root element", m_pos);
                haveRoot = true;
                if (m_rootTagOnly) return RootTag();
                if (!Root()) return false;
            } else if (Starts("</")) {
                return Fail("Start-end tags mismatch", m_pos);
            } else {
                return Fail("Error parsing start element tag", m_pos);
            }
        }
        if (!haveRoot) return Fail("No document element found", m_n);
        return true;
    }

    const std::string& Error() const { return m_error; }

private:
    bool Fail(const char* why, size_t at) {
        m_error = std::string(why) + " at offset " + std::to_string(at);
        return false;
    }

    bool Starts(const char* literal) const {
        const size_t size = std::strlen(literal);
        return m_pos + size <= m_n && std::memcmp(m_s + m_pos, literal, size) == 0;
    }

    bool SkipPast(const char* literal, const char* why) {
        const size_t start = m_pos;
        const size_t size = std::strlen(literal);
        const void* found = memmem(m_s + m_pos, m_n - m_pos, literal, size);
        if (!found) return Fail(why, start);
        m_pos = static_cast<size_t>(static_cast<const char*>(found) - m_s) + size;
        return true;
    }

    void SkipSpace() {
        while (m_pos < m_n && IsSpace(m_s[m_pos])) ++m_pos;
    }

    bool Name(size_t& begin, size_t& length) {
        begin = m_pos;
        if (m_pos >= m_n || !IsNameStart(static_cast<unsigned char>(m_s[m_pos]))) return false;
        while (m_pos < m_n && IsNameChar(static_cast<unsigned char>(m_s[m_pos]))) ++m_pos;
        length = m_pos - begin;
        return true;
    }

    // The internal subset may hold quoted '>' and nested declarations; the
    // document type ends at the first '>' outside quotes and brackets.
    bool Doctype() {
        const size_t start = m_pos;
        int brackets = 0;
        char quote = 0;
        for (m_pos += 9; m_pos < m_n; ++m_pos) {
            const char c = m_s[m_pos];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                ++brackets;
            } else if (c == ']') {
                --brackets;
            } else if (c == '>' && brackets <= 0) {
                ++m_pos;
                return true;
            }
        }
        return Fail("Error parsing document type declaration", start);
    }

    // At '<' of a start tag: name, attributes, '>' or "/>".
    bool StartTag(ElementSpan& span, bool& empty) {
        const size_t start = m_pos;
        span.begin = m_pos++;
        if (!Name(span.nameBegin, span.nameLength)) return Fail("Error parsing start element tag", start);
        for (;;) {
            const size_t before = m_pos;
            SkipSpace();
            if (m_pos >= m_n) return Fail("Error parsing start element tag", start);
            if (m_s[m_pos] == '>') {
                ++m_pos;
                empty = false;
                return true;
            }
            if (m_s[m_pos] == '/') {
                if (m_pos + 1 >= m_n || m_s[m_pos + 1] != '>') return Fail("Error parsing start element tag", m_pos);
                m_pos += 2;
                empty = true;
                return true;
            }
            size_t nameBegin = 0, nameLength = 0;
            if (m_pos == before || !Name(nameBegin, nameLength)) return Fail("Error parsing attribute", m_pos);
            SkipSpace();
            if (m_pos >= m_n || m_s[m_pos] != '=') return Fail("Attribute value is not enclosed in quotes", m_pos);
            ++m_pos;
            SkipSpace();
            if (m_pos >= m_n || (m_s[m_pos] != '"' && m_s[m_pos] != '\''))
                return Fail("Attribute value is not enclosed in quotes", m_pos);
            const char* close = static_cast<const char*>(std::memchr(m_s + m_pos + 1, m_s[m_pos], m_n - m_pos - 1));
            if (!close) return Fail("Error parsing attribute", m_pos);
            m_pos = static_cast<size_t>(close - m_s) + 1;
        }
    }

    // At "</": the name must close the innermost open element.
    bool EndTag(size_t openBegin, size_t openLength) {
        const size_t start = m_pos;
        m_pos += 2;
        size_t begin = 0, length = 0;
        if (!Name(begin, length)) return Fail("Error parsing end element tag", start);
        if (length != openLength || std::memcmp(m_s + begin, m_s + openBegin, length) != 0)
            return Fail("Start-end tags mismatch", start);
        SkipSpace();
        if (m_pos >= m_n || m_s[m_pos] != '>') return Fail("Error parsing end element tag", start);
        ++m_pos;
        return true;
    }

    bool RootTag() {
        bool empty = false;
        if (!StartTag(m_outline.root, empty)) return false;
        m_outline.rootStartTagEnd = m_pos;
        m_outline.root.end = empty ? m_pos : 0;
        m_outline.children.clear();
        return true;
    }

    // The root element and everything inside it. Only the root's own
    // children are recorded; deeper elements are checked and passed over.
    bool Root() {
        ElementSpan& root = m_outline.root;
        bool empty = false;
        if (!StartTag(root, empty)) return false;
        m_outline.rootStartTagEnd = m_pos;
        m_outline.children.clear();
        // Growing the list by doubling would copy it and touch fresh pages
        // each time; room for a child every 64 bytes is address space only
        // until used.
        m_outline.children.reserve((m_n - m_pos) / 64);
        if (empty) {
            root.end = m_pos;
            return true;
        }
        std::vector<std::pair<size_t, size_t>> open{{root.nameBegin, root.nameLength}};
        ElementSpan child;
        while (!open.empty()) {
            const char* lt = static_cast<const char*>(std::memchr(m_s + m_pos, '<', m_n - m_pos));
            if (!lt) return Fail("Start-end tags mismatch", m_n);
            m_pos = static_cast<size_t>(lt - m_s);
            // Decided by the byte after '<': most tags are start and end tags.
            const char next = m_pos + 1 < m_n ? m_s[m_pos + 1] : '\0';
            if (next == '/') {
                if (!EndTag(open.back().first, open.back().second)) return false;
                open.pop_back();
                if (open.size() == 1) {
                    child.end = m_pos;
                    m_outline.children.push_back(child);
                    Report();
                }
            } else if (next == '!') {
                if (Starts("<!--")) {
                    if (!SkipPast("-->", "Error parsing comment")) return false;
                } else if (Starts("<![CDATA[")) {
                    if (!SkipPast("]]>", "Error parsing CDATA section")) return false;
                } else {
                    return Fail("Unrecognized tag", m_pos);
                }
            } else if (next == '?') {
                if (!SkipPast("?>", "Error parsing document declaration/processing instruction")) return false;
            } else {
                ElementSpan span;
                if (!StartTag(span, empty)) return false;
                if (open.size() == 1) child = span;
                if (!empty) {
                    open.emplace_back(span.nameBegin, span.nameLength);
                } else if (open.size() == 1) {
                    child.end = m_pos;
                    m_outline.children.push_back(child);
                }
            }
        }
        root.end = m_pos;
        return true;
    }

    void Report() {
        if (m_passed && m_pos - m_reported >= kReportEvery) {
            m_passed(m_pos);
            m_reported = m_pos;
        }
    }

    static constexpr size_t kReportEvery = size_t(4) << 20;

    const char* m_s;
    size_t m_n;
    size_t m_pos = 0;
    DocumentOutline& m_outline;
    const std::function<void(size_t)>& m_passed;
    size_t m_reported = 0;
    const bool m_rootTagOnly;
    std::string m_error;
};

} // namespace

bool IsUtf8Document(const char* text, size_t size) {
    size_t pos = 0;
    if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) pos = 3;
    // Without a declaration an XML document is UTF-8 unless a byte order
    // mark says otherwise; UTF-16 and UTF-32 start with a zero byte or a
    // mark of their own, which the checks below turn away.
    if (pos == 0 && size >= 1 && (static_cast<unsigned char>(text[0]) >= 0xFE || text[0] == '\0')) return false;
    if (size - pos < 5 || std::memcmp(text + pos, "<?xml", 5) != 0) return size - pos >= 1 && text[pos] != '\0';
    const void* end = memmem(text + pos, size - pos, "?>", 2);
    if (!end) return false;
    const std::string declaration(text + pos, static_cast<size_t>(static_cast<const char*>(end) - (text + pos)));
    const size_t key = declaration.find("encoding");
    if (key == std::string::npos) return true;
    const size_t open = declaration.find_first_of("\"'", key);
    if (open == std::string::npos) return false;
    const size_t close = declaration.find(declaration[open], open + 1);
    if (close == std::string::npos) return false;
    const std::string name = Lower(declaration.data() + open + 1, close - open - 1);
    return name == "utf-8" || name == "utf8" || name == "us-ascii" || name == "ascii";
}

std::string RootStartTag(const char* text, const DocumentOutline& outline) {
    std::string tag(text + outline.root.begin, outline.rootStartTagEnd - outline.root.begin);
    if (tag.size() < 2 || tag.compare(tag.size() - 2, 2, "/>") != 0) tag.insert(tag.size() - 1, "/");
    return tag;
}

bool OutlineDocument(const char* text, size_t size, DocumentOutline& outline, std::string& error,
                     const std::function<void(size_t)>& passed) {
    Scanner scanner(text, size, outline, passed);
    if (scanner.Run()) return true;
    error = scanner.Error();
    return false;
}

bool OutlineRootTag(const char* text, size_t size, DocumentOutline& outline, std::string& error) {
    const std::function<void(size_t)> unused;
    Scanner scanner(text, size, outline, unused, true);
    if (scanner.Run()) return true;
    error = scanner.Error();
    return false;
}

} // namespace markup
} // namespace VMK
