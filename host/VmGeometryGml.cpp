#include "VmGeometryGml.h"

#include <ogr_geometry.h>
#include <pugixml.hpp>

#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace VMK {
namespace gml {

namespace {

// The tag's name without its prefix.
const char* Local(const pugi::xml_node& node) {
    const char* name = node.name();
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

bool Is(const pugi::xml_node& node, const char* local) { return std::strcmp(Local(node), local) == 0; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One number at `p`; the end of its text, or null when there is none.
const char* Number(const char* p, const char* end, double& value) {
    // from_chars takes no leading '+', which a writer may put.
    const char* start = p < end && *p == '+' ? p + 1 : p;
    const std::from_chars_result read = std::from_chars(start, end, value);
    return read.ec == std::errc() ? read.ptr : nullptr;
}

// The numbers of a text separated by blanks.
bool Numbers(const char* text, std::vector<double>& numbers) {
    const char* end = text + std::strlen(text);
    for (const char* p = text;;) {
        while (p < end && IsSpace(*p)) ++p;
        if (p == end) return true;
        double value = 0;
        p = Number(p, end, value);
        if (!p || (p < end && !IsSpace(*p))) return false;
        numbers.push_back(value);
    }
}

// One "x,y" or "x,y,z" tuple, which runs from `p` to `end`; its x and y.
bool TupleXY(const char* p, const char* end, double& x, double& y) {
    double values[3];
    int count = 0;
    for (;;) {
        if (count == 3 || !(p = Number(p, end, values[count]))) return false;
        ++count;
        if (p == end) break;
        if (*p++ != ',') return false;
    }
    if (count < 2) return false;
    x = values[0];
    y = values[1];
    return true;
}

bool Tuple(const char* p, const char* end, std::vector<double>& xy) {
    double x = 0, y = 0;
    if (!TupleXY(p, end, x, y)) return false;
    xy.push_back(x);
    xy.push_back(y);
    return true;
}

// "x,y x,y" with two or three numbers per tuple; other separators than the
// defaults are left to OGR.
bool Coordinates(const pugi::xml_node& node, std::vector<double>& xy) {
    for (const char* name : {"decimal", "cs", "ts"})
        if (node.attribute(name)) return false;
    const char* text = node.child_value();
    const char* end = text + std::strlen(text);
    for (const char* p = text;;) {
        while (p < end && IsSpace(*p)) ++p;
        if (p == end) return !xy.empty();
        const char* tupleEnd = p;
        while (tupleEnd < end && !IsSpace(*tupleEnd)) ++tupleEnd;
        if (!Tuple(p, tupleEnd, xy)) return false;
        p = tupleEnd;
    }
}

// srsDimension of the element or of the geometry around it; 0 when unset.
int Dimension(pugi::xml_node node) {
    for (; node && node.type() == pugi::node_element; node = node.parent()) {
        const pugi::xml_attribute attribute = node.attribute("srsDimension");
        if (attribute) return attribute.as_int(-1);
    }
    return 0;
}

bool Positions(const pugi::xml_node& node, bool single, std::vector<double>& xy) {
    int dimension = Dimension(node);
    std::vector<double> values;
    if (!Numbers(node.child_value(), values) || values.empty()) return false;
    if (dimension == 0) dimension = single && values.size() == 3 ? 3 : 2;
    if ((dimension != 2 && dimension != 3) || values.size() % static_cast<size_t>(dimension) != 0) return false;
    if (single && values.size() != static_cast<size_t>(dimension)) return false;
    for (size_t i = 0; i < values.size(); i += static_cast<size_t>(dimension)) {
        xy.push_back(values[i]);
        xy.push_back(values[i + 1]);
    }
    return true;
}

// The points of a Point, LineString or LinearRing element: one coordinates,
// one posList, or pos elements; nothing else may stand inside.
bool PointsOf(const pugi::xml_node& shape, std::vector<double>& xy) {
    int coordinates = 0, lists = 0, positions = 0;
    for (pugi::xml_node child = shape.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_pcdata) {
            for (const char* p = child.value(); *p; ++p)
                if (!IsSpace(*p)) return false;
            continue;
        }
        if (child.type() != pugi::node_element) continue;
        bool read;
        if (Is(child, "coordinates")) {
            read = ++coordinates == 1 && Coordinates(child, xy);
        } else if (Is(child, "posList")) {
            read = ++lists == 1 && Positions(child, false, xy);
        } else if (Is(child, "pos")) {
            ++positions;
            read = Positions(child, true, xy);
        } else {
            return false;
        }
        if (!read) return false;
    }
    return coordinates + lists + (positions > 0 ? 1 : 0) == 1;
}

template <class Curve>
Curve* CurveOf(const pugi::xml_node& shape) {
    std::vector<double> xy;
    if (!PointsOf(shape, xy) || xy.size() < 4) return nullptr;
    std::unique_ptr<Curve> curve(new Curve());
    curve->setNumPoints(static_cast<int>(xy.size() / 2), FALSE);
    for (size_t i = 0; i < xy.size(); i += 2) curve->setPoint(static_cast<int>(i / 2), xy[i], xy[i + 1]);
    return curve.release();
}

// The LinearRing inside a boundary element.
OGRLinearRing* RingIn(const pugi::xml_node& boundary) {
    pugi::xml_node ring;
    for (pugi::xml_node child = boundary.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        if (ring || !Is(child, "LinearRing")) return nullptr;
        ring = child;
    }
    return ring ? CurveOf<OGRLinearRing>(ring) : nullptr;
}

OGRPolygon* PolygonOf(const pugi::xml_node& shape) {
    std::unique_ptr<OGRPolygon> polygon(new OGRPolygon());
    bool outer = false;
    for (pugi::xml_node child = shape.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        const bool exterior = Is(child, "outerBoundaryIs") || Is(child, "exterior");
        const bool interior = Is(child, "innerBoundaryIs") || Is(child, "interior");
        if ((!exterior && !interior) || (exterior && outer) || (interior && !outer)) return nullptr;
        OGRLinearRing* ring = RingIn(child);
        if (!ring) return nullptr;
        polygon->addRingDirectly(ring);
        outer = true;
    }
    return outer ? polygon.release() : nullptr;
}

struct PlainNameChars {
    bool inside[256] = {};
    PlainNameChars() {
        for (int c = 0; c < 256; ++c)
            inside[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                        c == ':' || c == '-' || c == '.';
    }
};
const PlainNameChars kPlainNameChars;

// A point element in its plainest spelling, read as text: most features of
// a download are points written exactly so, and even a reused tree costs
// more than the rest of the feature. Anything else in the text (another
// shape, attributes on the coordinates, entities, comments, several tuples)
// returns false, and the tree reader decides, reading the same numbers.
class PlainPoint {
public:
    PlainPoint(const char* text, size_t size) : m_p(text), m_end(text + size) {}

    bool Read(double& x, double& y) {
        const char *shape = nullptr, *child = nullptr;
        size_t shapeLength = 0, childLength = 0;
        Blanks();
        if (!StartTag(shape, shapeLength, true) || !LocalIs(shape, shapeLength, "Point")) return false;
        Blanks();
        if (!StartTag(child, childLength, false)) return false;
        const bool tuple = LocalIs(child, childLength, "coordinates");
        if (!tuple && !LocalIs(child, childLength, "pos")) return false;
        const char* text = m_p;
        while (m_p < m_end && *m_p != '<' && *m_p != '&') ++m_p;
        const char* textEnd = m_p;
        if (!EndTag(child, childLength)) return false;
        Blanks();
        if (!EndTag(shape, shapeLength)) return false;
        Blanks();
        return m_p == m_end && (tuple ? Tuple(text, textEnd, x, y) : Position(text, textEnd, x, y));
    }

private:
    void Blanks() {
        while (m_p < m_end && IsSpace(*m_p)) ++m_p;
    }

    static bool NameChar(char c) { return kPlainNameChars.inside[static_cast<unsigned char>(c)]; }

    // The name after its one prefix (a second ':' is no plain name).
    template <size_t N>
    static bool LocalIs(const char* name, size_t length, const char (&local)[N]) {
        const size_t size = N - 1;
        if (length < size || std::memcmp(name + length - size, local, size) != 0) return false;
        if (length == size) return true;
        if (name[length - size - 1] != ':') return false;
        for (size_t i = 0; i + size + 1 < length; ++i)
            if (name[i] == ':') return false;
        return true;
    }

    bool Name(const char*& name, size_t& length) {
        name = m_p;
        while (m_p < m_end && NameChar(*m_p)) ++m_p;
        length = static_cast<size_t>(m_p - name);
        return length > 0 && !(name[0] >= '0' && name[0] <= '9') && name[0] != '-' && name[0] != '.';
    }

    // "<name attr='v' ...>"; the shape may carry attributes (srsName, gml:id)
    // but no srsDimension, which changes how the numbers are read.
    bool StartTag(const char*& name, size_t& length, bool attributes) {
        if (m_p >= m_end || *m_p++ != '<' || !Name(name, length)) return false;
        for (;;) {
            const char* before = m_p;
            Blanks();
            if (m_p >= m_end) return false;
            if (*m_p == '>') {
                ++m_p;
                return true;
            }
            const char* attribute = nullptr;
            size_t attributeLength = 0;
            if (!attributes || m_p == before || !Name(attribute, attributeLength) ||
                LocalIs(attribute, attributeLength, "srsDimension"))
                return false;
            Blanks();
            if (m_p >= m_end || *m_p++ != '=') return false;
            Blanks();
            if (m_p >= m_end || (*m_p != '"' && *m_p != '\'')) return false;
            const char quote = *m_p++;
            const char* close = static_cast<const char*>(std::memchr(m_p, quote, static_cast<size_t>(m_end - m_p)));
            if (!close) return false;
            for (const char* q = m_p; q < close; ++q)
                if (*q == '<' || *q == '&') return false;
            m_p = close + 1;
        }
    }

    bool EndTag(const char* name, size_t length) {
        if (m_end - m_p < static_cast<std::ptrdiff_t>(length + 3) || m_p[0] != '<' || m_p[1] != '/' ||
            std::memcmp(m_p + 2, name, length) != 0)
            return false;
        m_p += 2 + length;
        Blanks();
        if (m_p >= m_end || *m_p != '>') return false;
        ++m_p;
        return true;
    }

    // One "x,y" or "x,y,z" between blanks.
    static bool Tuple(const char* p, const char* end, double& x, double& y) {
        while (p < end && IsSpace(*p)) ++p;
        while (end > p && IsSpace(end[-1])) --end;
        return TupleXY(p, end, x, y);
    }

    // "x y" or "x y z".
    static bool Position(const char* p, const char* end, double& x, double& y) {
        double values[3];
        int count = 0;
        for (;;) {
            while (p < end && IsSpace(*p)) ++p;
            if (p == end) break;
            if (count == 3 || !(p = Number(p, end, values[count]))) return false;
            ++count;
            if (p < end && !IsSpace(*p)) return false;
        }
        if (count < 2) return false;
        x = values[0];
        y = values[1];
        return true;
    }

    const char* m_p;
    const char* m_end;
};

} // namespace

bool ReadPlainPoint(const char* text, size_t size, double& x, double& y) { return PlainPoint(text, size).Read(x, y); }

OGRGeometry* ReadCommonGeometry(const char* text, size_t size) {
    double x = 0, y = 0;
    if (ReadPlainPoint(text, size, x, y)) return new OGRPoint(x, y);
    // A download reads one geometry per feature: a small text is parsed in
    // a buffer that each call reuses, and a point's numbers land in a reused
    // list, which spares three allocations a feature. A large text is copied
    // by pugixml instead, so that no call keeps its size for the thread's life.
    constexpr size_t kReusedBuffer = 64 * 1024;
    thread_local std::string buffer;
    pugi::xml_document document;
    pugi::xml_parse_result parsed;
    if (size <= kReusedBuffer) {
        buffer.assign(text, size);
        parsed = document.load_buffer_inplace(&buffer[0], size, pugi::parse_default, pugi::encoding_utf8);
    } else {
        parsed = document.load_buffer(text, size, pugi::parse_default, pugi::encoding_utf8);
    }
    if (!parsed) return nullptr;
    const pugi::xml_node shape = document.document_element();
    if (!shape) return nullptr;
    if (Is(shape, "Point")) {
        thread_local std::vector<double> xy;
        xy.clear();
        if (!PointsOf(shape, xy) || xy.size() != 2) return nullptr;
        return new OGRPoint(xy[0], xy[1]);
    }
    if (Is(shape, "LineString")) return CurveOf<OGRLineString>(shape);
    if (Is(shape, "Polygon")) return PolygonOf(shape);
    return nullptr;
}

} // namespace gml
} // namespace VMK
