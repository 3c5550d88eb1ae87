#include "VmToolkit.h"

#include "VmMarkupOutline.h"

#include <pugixml.hpp>

#include <atomic>
#include <mutex>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace VMK {

namespace {

// pugixml's defaults already leave the DOCTYPE out of the tree and never
// resolve an entity other than the five predefined ones and character
// references, so nothing from a DTD (internal or external) can reach the data.
// On top of the defaults:
// - parse_ws_pcdata_single keeps a blank text that is an element's whole
//   content, so GetData returns "<a> </a>" as " " rather than "": callers get
//   the text as the server sent it and decide themselves whether to trim.
// - parse_fragment keeps text that sits beside the root and every top-level
//   element in the tree; pugixml would otherwise drop such text silently and
//   accept several roots, and CheckTopLevel needs to see both to reject them.
// Whitespace-only text inside mixed content is still dropped (no
// parse_ws_pcdata), and nothing is trimmed (no parse_trim_pcdata).
constexpr unsigned int kParseOptions =
    pugi::parse_default | pugi::parse_ws_pcdata_single | pugi::parse_fragment;

bool Matches(const pugi::xml_node& node, const char* name) {
    if (node.type() != pugi::node_element) return false;
    return name == nullptr || *name == '\0' || std::strcmp(node.name(), name) == 0;
}

// The first element from `node` on (itself included) along its siblings whose
// tag matches; a null handle when there is none.
pugi::xml_node NextMatch(pugi::xml_node node, const char* name) {
    while (node && !Matches(node, name)) node = node.next_sibling();
    return node;
}

PlxMBString DirectText(const pugi::xml_node& element) {
    // Most elements hold one piece of text, which needs no gathering.
    const pugi::xml_node first = element.first_child();
    if (first && !first.next_sibling() && (first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata))
        return PlxMBString(first.value());
    std::string text;
    for (pugi::xml_node piece = element.first_child(); piece; piece = piece.next_sibling()) {
        if (piece.type() == pugi::node_pcdata || piece.type() == pugi::node_cdata) text += piece.value();
    }
    return PlxMBString(std::move(text));
}

PlxMBString Attribute(const pugi::xml_node& element, const char* name) {
    if (!element || name == nullptr || *name == '\0') return PlxMBString();
    return PlxMBString(element.attribute(name).value());
}

struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
};

PlxMBString Serialize(const pugi::xml_node& element) {
    if (!element) return PlxMBString();
    StringWriter writer;
    element.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
    return PlxMBString(std::move(writer.text));
}

bool IsBlank(const char* text) {
    for (; *text; ++text) {
        if (*text != ' ' && *text != '\t' && *text != '\r' && *text != '\n') return false;
    }
    return true;
}

std::string AtOffset(const char* why, std::ptrdiff_t offset) {
    return std::string(why) + " at offset " + std::to_string(offset);
}


// Position over pugixml nodes: the current level is the children of `parent`
// (the document node at the top). A null `current` means "before the first
// element of the level"; `child` is always a child of `current` or null.
struct Cursor {
    pugi::xml_node parent;
    pugi::xml_node current;
    pugi::xml_node child;

    void Reset(const pugi::xml_node& top) {
        parent = top;
        current = pugi::xml_node();
        child = pugi::xml_node();
    }

    unsigned char FindElem(const char* name) {
        const pugi::xml_node found = NextMatch(current ? current.next_sibling() : parent.first_child(), name);
        if (!found) return 0;
        current = found;
        child = pugi::xml_node();
        return 1;
    }

    unsigned char FindChildElem(const char* name) {
        if (!current) return 0;
        const pugi::xml_node found = NextMatch(child ? child.next_sibling() : current.first_child(), name);
        if (!found) return 0;
        child = found;
        return 1;
    }

    unsigned char IntoElem() {
        if (!current) return 0;
        parent = current;
        current = child;
        child = pugi::xml_node();
        return 1;
    }

    unsigned char OutOfElem() {
        if (parent.type() != pugi::node_element) return 0;
        child = current;
        current = parent;
        parent = parent.parent();
        return 1;
    }
};

std::atomic<size_t> g_outlineThreshold{size_t(4) << 20};

// What tells one state of a file from another. Modification times are only
// as fine as the kernel's clock tick and inode numbers are reused, so the
// bytes at both ends of the file are part of it too.
struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long modifiedNs = 0;
    unsigned long long ends = 0;
    bool operator==(const FileKey& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modifiedNs == other.modifiedNs && ends == other.ends;
    }
};

unsigned long long HashOfEnds(const char* data, size_t size) {
    const size_t piece = std::min(size, size_t(64) << 10);
    unsigned long long hash = 1469598103934665603ULL;
    auto mix = [&hash](const char* from, size_t count) {
        for (size_t i = 0; i < count; ++i) hash = (hash ^ static_cast<unsigned char>(from[i])) * 1099511628211ULL;
    };
    mix(data, piece);
    mix(data + size - piece, piece);
    return hash;
}

bool KeyOf(int fd, FileKey& key) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return false;
    key.device = info.st_dev;
    key.inode = info.st_ino;
    key.size = info.st_size;
    key.modifiedNs = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    return true;
}

// The outline of the file loaded last. A feature download is read twice in
// a row (its bounds, then its features), and the second reading then only
// maps the file again.
struct RecentOutlines {
    std::mutex lock;
    FileKey key;
    std::shared_ptr<const markup::DocumentOutline> outline;
};

RecentOutlines& Recent() {
    static RecentOutlines recent;
    return recent;
}

std::shared_ptr<const markup::DocumentOutline> RecentOutline(const FileKey& key) {
    RecentOutlines& recent = Recent();
    std::lock_guard<std::mutex> hold(recent.lock);
    return recent.outline && recent.key == key ? recent.outline : nullptr;
}

void RememberOutline(const FileKey& key, std::shared_ptr<const markup::DocumentOutline> outline) {
    RecentOutlines& recent = Recent();
    std::lock_guard<std::mutex> hold(recent.lock);
    recent.key = key;
    recent.outline = std::move(outline);
}

// A large document kept as its text and the outline of its root's children.
// One child at a time is parsed into a small tree, when a reader looks into
// it; the root's own text and sub-document need the whole tree, which is
// parsed only if asked for.
struct Outlined {
    // The document's bytes: a read-only mapping of the loaded file, or a
    // copy of the text given.
    std::string owned;
    void* mapping = nullptr;
    size_t mappedSize = 0;
    const char* data = nullptr;
    size_t size = 0;
    std::shared_ptr<const markup::DocumentOutline> outline;
    pugi::xml_document shell;  // the root's start tag as an empty element
    pugi::xml_document member;
    std::string memberText;
    long memberIndex = -1;
    pugi::xml_document whole;
    bool wholeParsed = false;

    Outlined() = default;
    Outlined(const Outlined&) = delete;
    Outlined& operator=(const Outlined&) = delete;
    ~Outlined() {
        if (mapping) ::munmap(mapping, mappedSize);
    }

    void Own(std::string&& text) {
        owned = std::move(text);
        data = owned.data();
        size = owned.size();
    }

    // A mapping costs neither a copy nor zeroed pages; the file is a
    // download of ours that nobody rewrites while it is read.
    bool Map(const std::string& path, size_t bytes) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        hasKey = KeyOf(fd, key) && static_cast<size_t>(key.size) == bytes;
        void* view = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, fd, 0);
        ::close(fd);
        if (view == MAP_FAILED) return false;
        ::madvise(view, bytes, MADV_SEQUENTIAL);
        mapping = view;
        mappedSize = bytes;
        data = static_cast<const char*>(view);
        size = bytes;
        if (hasKey) key.ends = HashOfEnds(data, size);
        return true;
    }

    // Pages of the mapping that have been read are handed back to the page
    // cache: the document's bytes then never sit in memory all at once. A
    // page read again is simply read from the file again.
    size_t released = 0;
    FileKey key;
    bool hasKey = false;
    void ReleaseBefore(size_t offset) {
        static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        const size_t end = offset / page * page;
        if (!mapping || end < released + (size_t(8) << 20)) return;
        ::madvise(mapping, end, MADV_DONTNEED);
        released = end;
    }

    bool Parse(std::string& error, const FileKey* key) {
        outline = key ? RecentOutline(*key) : nullptr;
        if (!outline) {
            auto fresh = std::make_shared<markup::DocumentOutline>();
            const bool outlined =
                markup::OutlineDocument(data, size, *fresh, error, [this](size_t offset) { ReleaseBefore(offset); });
            ReleaseBefore(size);
            released = 0;
            if (!outlined) return false;
            outline = fresh;
            if (key) RememberOutline(*key, outline);
        }
        const std::string tag = markup::RootStartTag(data, *outline);
        if (!shell.load_buffer(tag.data(), tag.size(), kParseOptions, pugi::encoding_utf8)) {
            error = AtOffset("Error parsing start element tag", static_cast<std::ptrdiff_t>(outline->root.begin));
            return false;
        }
        return true;
    }

    long Count() const { return static_cast<long>(outline->children.size()); }

    bool NameIs(long index, const char* name) const {
        if (name == nullptr || *name == '\0') return true;
        const markup::ElementSpan& span = outline->children[static_cast<size_t>(index)];
        return std::strlen(name) == span.nameLength && std::memcmp(data + span.nameBegin, name, span.nameLength) == 0;
    }

    pugi::xml_node Root() const { return shell.document_element(); }

    // Null when the child does not parse on its own, which the outline pass
    // should already have refused.
    pugi::xml_node Member(long index) {
        if (index < 0 || index >= Count()) return pugi::xml_node();
        if (index != memberIndex) {
            const markup::ElementSpan& span = outline->children[static_cast<size_t>(index)];
            memberIndex = index;
            ReleaseBefore(span.begin);
            // Parsed in place in a copy that every member reuses: a
            // collection is a hundred thousand small parses.
            memberText.assign(data + span.begin, span.end - span.begin);
            if (!member.load_buffer_inplace(&memberText[0], memberText.size(), kParseOptions, pugi::encoding_utf8))
                member.reset();
        }
        return member.document_element();
    }

    pugi::xml_node WholeRoot() {
        if (!wholeParsed) {
            wholeParsed = true;
            whole.load_buffer(data, size, kParseOptions, pugi::encoding_utf8);
        }
        return whole.document_element();
    }
};

} // namespace

struct VmMarkup::Private {
    pugi::xml_document doc;
    Cursor cursor;
    std::string error;

    // Set for an outlined document. The position then has three levels: the
    // top (the root may be current, one of its children the current child),
    // the root's children (by index; the current child is a node of the
    // parsed member), and anything deeper, where `cursor` moves inside the
    // parsed member.
    std::unique_ptr<Outlined> outline;
    enum class Level { Top, Root, Inside };
    Level level = Level::Top;
    bool rootCurrent = false;
    long current = -1;
    long child = -1;

    Private() { ResetPos(); }

    void ResetPos() {
        cursor.Reset(doc);
        level = Level::Top;
        rootCurrent = false;
        current = -1;
        child = -1;
    }

    // Parsing as a fragment lets several roots and text beside the root
    // through; a document needs exactly one root and nothing but markup and
    // blanks around it. Returns the reason, or "" when the document is sound.
    std::string CheckTopLevel(std::ptrdiff_t documentEnd) const {
        pugi::xml_node root;
        for (pugi::xml_node node = doc.first_child(); node; node = node.next_sibling()) {
            switch (node.type()) {
            case pugi::node_element:
                // offset_debug points at the tag name; report the '<' before it.
                if (root) return AtOffset("More than one root element", node.offset_debug() - 1);
                root = node;
                break;
            case pugi::node_pcdata:
                if (!IsBlank(node.value())) return AtOffset("Text outside the root element", node.offset_debug());
                break;
            case pugi::node_cdata:
                return AtOffset("CDATA outside the root element", node.offset_debug());
            default:
                break;
            }
        }
        if (!root) return AtOffset("No document element found", documentEnd);
        return std::string();
    }

    // Common end of Load and SetDoc. A failed parse leaves pugixml's partial
    // tree behind, which must not be navigable, so the document is emptied.
    unsigned char Accept(const pugi::xml_parse_result& result, std::ptrdiff_t documentEnd, const std::string* path) {
        if (!result) {
            if (path && (result.status == pugi::status_file_not_found || result.status == pugi::status_io_error))
                error = std::string(result.description()) + ": " + *path;
            else if (result.status == pugi::status_out_of_memory)
                error = result.description();
            else
                error = AtOffset(result.description(), result.offset);
        } else {
            error = CheckTopLevel(documentEnd);
        }
        if (!error.empty()) doc.reset();
        ResetPos();
        return error.empty() ? 1 : 0;
    }

    unsigned char Fail(const std::string& why) {
        error = why;
        doc.reset();
        outline.reset();
        ResetPos();
        return 0;
    }

    // Takes a large document: a UTF-8 one is outlined, any other parsed
    // into one tree.
    unsigned char Take(std::unique_ptr<Outlined> text) {
        doc.reset();
        outline.reset();
        if (markup::IsUtf8Document(text->data, text->size)) {
            outline = std::move(text);
            std::string why;
            if (!outline->Parse(why, outline->hasKey ? &outline->key : nullptr)) return Fail(why);
            error.clear();
            ResetPos();
            return 1;
        }
        const pugi::xml_parse_result result =
            doc.load_buffer(text->data, text->size, kParseOptions, pugi::encoding_auto);
        return Accept(result, static_cast<std::ptrdiff_t>(text->size), nullptr);
    }

    // The element the position's current element stands for; the root of an
    // outlined document is its start tag alone unless `content` is asked for.
    pugi::xml_node CurrentElement(bool content) {
        if (!outline || level == Level::Inside) return cursor.current;
        if (level == Level::Root) return outline->Member(current);
        if (!rootCurrent) return pugi::xml_node();
        return content ? outline->WholeRoot() : outline->Root();
    }

    pugi::xml_node ChildElement() {
        if (!outline || level != Level::Top) return cursor.child;
        return outline->Member(child);
    }

    long NextChild(long after, const char* name) const {
        for (long i = after + 1; i < outline->Count(); ++i)
            if (outline->NameIs(i, name)) return i;
        return -1;
    }
};

VmMarkup::VmMarkup() : d(new Private) {}

VmMarkup::~VmMarkup() = default;

size_t VmMarkup::SetOutlineThreshold(size_t bytes) { return g_outlineThreshold.exchange(bytes); }

unsigned char VmMarkup::Load(const PlxMBString& path) {
    std::error_code ec;
    const fs::path file(path.str());
    const fs::file_status status = fs::status(file, ec);
    // pugixml sizes its buffer from the reported file length: a directory
    // makes it ask for an absurd allocation (an abort under AddressSanitizer,
    // "out of memory" otherwise) and a pipe or device could block forever.
    if (!ec && fs::exists(status) && !fs::is_regular_file(status))
        return d->Fail("Not a regular file: " + path.str());
    std::ptrdiff_t size = 0;
    if (!ec && fs::exists(status)) {
        const std::uintmax_t bytes = fs::file_size(file, ec);
        if (!ec) size = static_cast<std::ptrdiff_t>(bytes);
    }
    if (size > 0 && static_cast<size_t>(size) >= g_outlineThreshold.load()) {
        std::unique_ptr<Outlined> text(new Outlined);
        if (!text->Map(path.str(), static_cast<size_t>(size)))
            return d->Fail("Error reading from file/stream: " + path.str());
        return d->Take(std::move(text));
    }
    d->outline.reset();
    const pugi::xml_parse_result result = d->doc.load_file(path.c_str(), kParseOptions, pugi::encoding_auto);
    return d->Accept(result, size, &path.str());
}

unsigned char VmMarkup::SetDoc(const PlxMBString& text) {
    if (text.str().size() >= g_outlineThreshold.load()) {
        std::unique_ptr<Outlined> copy(new Outlined);
        copy->Own(std::string(text.str()));
        return d->Take(std::move(copy));
    }
    d->outline.reset();
    const pugi::xml_parse_result result =
        d->doc.load_buffer(text.c_str(), text.str().size(), kParseOptions, pugi::encoding_auto);
    return d->Accept(result, text.GetLength(), nullptr);
}

PlxMBString VmMarkup::GetError() const { return PlxMBString(d->error); }

unsigned char VmMarkup::FindElem(const char* name) {
    if (!d->outline || d->level == Private::Level::Inside) return d->cursor.FindElem(name);
    if (d->level == Private::Level::Top) {
        if (d->rootCurrent || !Matches(d->outline->Root(), name)) return 0;
        d->rootCurrent = true;
        d->child = -1;
        return 1;
    }
    const long found = d->NextChild(d->current, name);
    if (found < 0) return 0;
    d->current = found;
    d->cursor.child = pugi::xml_node();
    return 1;
}

unsigned char VmMarkup::FindChildElem(const char* name) {
    if (!d->outline || d->level == Private::Level::Inside) return d->cursor.FindChildElem(name);
    if (d->level == Private::Level::Top) {
        if (!d->rootCurrent) return 0;
        const long found = d->NextChild(d->child, name);
        if (found < 0) return 0;
        d->child = found;
        return 1;
    }
    const pugi::xml_node member = d->outline->Member(d->current);
    if (!member) return 0;
    const pugi::xml_node& child = d->cursor.child;
    const pugi::xml_node found = NextMatch(child ? child.next_sibling() : member.first_child(), name);
    if (!found) return 0;
    d->cursor.child = found;
    return 1;
}

unsigned char VmMarkup::IntoElem() {
    if (!d->outline || d->level == Private::Level::Inside) return d->cursor.IntoElem();
    if (d->level == Private::Level::Top) {
        if (!d->rootCurrent) return 0;
        d->level = Private::Level::Root;
        d->current = d->child;
        d->child = -1;
        d->cursor.Reset(pugi::xml_node());
        return 1;
    }
    const pugi::xml_node member = d->outline->Member(d->current);
    if (!member) return 0;
    const pugi::xml_node inner = d->cursor.child;
    d->level = Private::Level::Inside;
    d->cursor.Reset(member);
    d->cursor.current = inner;
    return 1;
}

unsigned char VmMarkup::OutOfElem() {
    if (!d->outline) return d->cursor.OutOfElem();
    switch (d->level) {
    case Private::Level::Top:
        return 0;
    case Private::Level::Root:
        d->level = Private::Level::Top;
        d->child = d->current;
        d->current = -1;
        d->rootCurrent = true;
        return 1;
    case Private::Level::Inside:
        if (d->cursor.parent.parent().type() != pugi::node_document) return d->cursor.OutOfElem();
        d->level = Private::Level::Root;
        d->cursor.child = d->cursor.current;
        d->cursor.current = pugi::xml_node();
        d->cursor.parent = pugi::xml_node();
        return 1;
    }
    return 0;
}

void VmMarkup::ResetPos() { d->ResetPos(); }

void VmMarkup::ResetChildPos() {
    if (d->outline && d->level == Private::Level::Top)
        d->child = -1;
    else
        d->cursor.child = pugi::xml_node();
}

unsigned char VmMarkup::IntoChildElem() {
    if (d->outline && d->level == Private::Level::Top ? d->child < 0 : !d->cursor.child) return 0;
    return IntoElem();
}

PlxMBString VmMarkup::GetTagName() const { return PlxMBString(d->CurrentElement(false).name()); }

PlxMBString VmMarkup::GetChildTagName() const { return PlxMBString(d->ChildElement().name()); }

PlxMBString VmMarkup::GetData() const { return DirectText(d->CurrentElement(true)); }

PlxMBString VmMarkup::GetChildData() const { return DirectText(d->ChildElement()); }

PlxMBString VmMarkup::GetAttrib(const char* name) const { return Attribute(d->CurrentElement(false), name); }

PlxMBString VmMarkup::GetChildAttrib(const char* name) const { return Attribute(d->ChildElement(), name); }

PlxMBString VmMarkup::GetSubDoc() const { return Serialize(d->CurrentElement(true)); }

PlxMBString VmMarkup::GetChildSubDoc() const { return Serialize(d->ChildElement()); }

} // namespace VMK
