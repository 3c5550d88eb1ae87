// The outline of a large XML document: where its root element and the root's
// element children lie in the text, found by one pass over the markup that
// builds no tree. VmMarkup uses it to keep a large document (a feature
// collection of a hundred thousand members) as its text plus one small
// record per member, and parses a member only when a reader enters it.
// Not part of the installed interface.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace VMK {
namespace markup {

// An element's place in the text: from its '<' to just past its last '>'.
struct ElementSpan {
    size_t begin = 0;
    size_t end = 0;
    size_t nameBegin = 0;
    size_t nameLength = 0;
};

struct DocumentOutline {
    ElementSpan root;
    // Just past the '>' of the root's start tag.
    size_t rootStartTagEnd = 0;
    // The root's element children in document order.
    std::vector<ElementSpan> children;
};

// True when the text is UTF-8 (or plain ASCII) by its byte order mark and
// XML declaration, so that any piece of it can be parsed on its own as UTF-8.
bool IsUtf8Document(const char* text, size_t size);

// Checks that the text is one well-formed root element with nothing but
// declarations, comments, processing instructions and blanks around it, and
// records where its parts lie. On failure `error` says why, as "reason at
// offset N", and the outline is left incomplete.
// The root's start tag as an element of its own ("<a x='1'/>"): its name
// and attributes without its content.
std::string RootStartTag(const char* text, const DocumentOutline& outline);

// `passed`, when given, is told from time to time how far the pass has come,
// so that a caller can let go of what lies before.
bool OutlineDocument(const char* text, size_t size, DocumentOutline& outline, std::string& error,
                     const std::function<void(size_t)>& passed = {});

// The same check of what precedes the root element and of the root's start
// tag, without looking any further: `outline` gets the root's span up to its
// start tag's end (root.end is 0 unless the root is an empty element) and
// no children. A prefix of a longer text passes as soon as it holds all
// that; one that ends earlier fails as a malformed text would.
bool OutlineRootTag(const char* text, size_t size, DocumentOutline& outline, std::string& error);

} // namespace markup
} // namespace VMK
