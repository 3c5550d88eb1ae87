#include "VmToolkit.h"

#include <pugixml.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

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

} // namespace

struct VmMarkup::Private {
    pugi::xml_document doc;
    // The current level is the children of `parent` (the document node at the
    // top). A null `current` means "before the first element of the level";
    // `child` is always a child of `current` or null.
    pugi::xml_node parent;
    pugi::xml_node current;
    pugi::xml_node child;
    std::string error;

    Private() { ResetPos(); }

    void ResetPos() {
        parent = doc;
        current = pugi::xml_node();
        child = pugi::xml_node();
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
        ResetPos();
        return 0;
    }
};

VmMarkup::VmMarkup() : d(new Private) {}

VmMarkup::~VmMarkup() = default;

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
    const pugi::xml_parse_result result = d->doc.load_file(path.c_str(), kParseOptions, pugi::encoding_auto);
    return d->Accept(result, size, &path.str());
}

unsigned char VmMarkup::SetDoc(const PlxMBString& text) {
    const pugi::xml_parse_result result =
        d->doc.load_buffer(text.c_str(), text.str().size(), kParseOptions, pugi::encoding_auto);
    return d->Accept(result, text.GetLength(), nullptr);
}

PlxMBString VmMarkup::GetError() const { return PlxMBString(d->error); }

unsigned char VmMarkup::FindElem(const char* name) {
    const pugi::xml_node from = d->current ? d->current.next_sibling() : d->parent.first_child();
    const pugi::xml_node found = NextMatch(from, name);
    if (!found) return 0;
    d->current = found;
    d->child = pugi::xml_node();
    return 1;
}

unsigned char VmMarkup::FindChildElem(const char* name) {
    if (!d->current) return 0;
    const pugi::xml_node from = d->child ? d->child.next_sibling() : d->current.first_child();
    const pugi::xml_node found = NextMatch(from, name);
    if (!found) return 0;
    d->child = found;
    return 1;
}

unsigned char VmMarkup::IntoElem() {
    if (!d->current) return 0;
    d->parent = d->current;
    d->current = d->child;
    d->child = pugi::xml_node();
    return 1;
}

unsigned char VmMarkup::OutOfElem() {
    if (d->parent.type() != pugi::node_element) return 0;
    d->child = d->current;
    d->current = d->parent;
    d->parent = d->parent.parent();
    return 1;
}

void VmMarkup::ResetPos() { d->ResetPos(); }

void VmMarkup::ResetChildPos() { d->child = pugi::xml_node(); }

unsigned char VmMarkup::IntoChildElem() {
    if (!d->child) return 0;
    return IntoElem();
}

PlxMBString VmMarkup::GetTagName() const { return PlxMBString(d->current.name()); }

PlxMBString VmMarkup::GetChildTagName() const { return PlxMBString(d->child.name()); }

PlxMBString VmMarkup::GetData() const { return DirectText(d->current); }

PlxMBString VmMarkup::GetChildData() const { return DirectText(d->child); }

PlxMBString VmMarkup::GetAttrib(const char* name) const { return Attribute(d->current, name); }

PlxMBString VmMarkup::GetChildAttrib(const char* name) const { return Attribute(d->child, name); }

PlxMBString VmMarkup::GetSubDoc() const { return Serialize(d->current); }

PlxMBString VmMarkup::GetChildSubDoc() const { return Serialize(d->child); }

} // namespace VMK
