#pragma once
// What the data inside some PDF streams makes poppler allocate and draw, read from the
// data's own layout without decoding what it holds: the patches and triangles of a
// mesh shading and the area they cover, the bitmaps a JBIG2 stream declares, the
// operators of a calculator function.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::graphics {

// How a mesh shading (types 4 to 7) lays out its vertices or patches.
struct MeshLayout {
    int type = 4;
    int flagBits = 0;        // types 4, 6 and 7
    int coordinateBits = 8;
    int componentBits = 8;
    int components = 1;      // colour components, or 1 with a function
    int verticesPerRow = 2;  // type 5
    // Where the coordinates' extremes lie in the shading's space (the Decode array).
    double xMin = 0, xMax = 1, yMin = 0, yMax = 1;
};

// Reads a mesh's data as it is decoded, in pieces of any size. Each vertex (types 4
// and 5) or patch (6 and 7) starts on a byte boundary, as poppler reads them.
class MeshMeasure {
public:
    explicit MeshMeasure(const MeshLayout& layout);
    void feed(std::string_view data);

    // Triangles or patches poppler makes of the data, and vertices it holds.
    double elements() const { return elements_; }
    double vertices() const { return vertices_; }
    // The area of the elements' bounding boxes added up, in the shading's space.
    double area() const { return area_; }

private:
    struct Point {
        double x = 0, y = 0;
    };
    // The bits of a record from its first bytes: 0 while they are not all there.
    size_t recordBytes(std::string_view data) const;
    void record(std::string_view data);
    Point point(uint64_t x, uint64_t y) const;
    void addBox(const Point* points, int count);

    MeshLayout layout_;
    std::string carry_;
    double elements_ = 0, vertices_ = 0, area_ = 0;
    // Type 4: the last two vertices, and those read of a triangle begun; type 5: the
    // row before and the one being read.
    Point last_[2];
    std::vector<Point> previousRow_, row_;
    size_t inRow_ = 0;
};

// The largest bitmap a JBIG2 stream makes its decoder allocate, by the sizes its
// segments declare: the page (grown by stripes and regions when its height is left
// open), each region, and each pattern dictionary's collective bitmap. `globals` are
// the segments of the stream's JBIG2Globals, read first. Where the standard and poppler
// read the segments' heads apart, both readings count.
struct Jbig2Bitmaps {
    uint64_t width = 0, height = 0;  // of the one with the most pixels
    double pixels = 0;
    uint64_t widest = 0, tallest = 0;
};
Jbig2Bitmaps jbig2Bitmaps(std::string_view globals, std::string_view data);

// The operators, operands and braces of a calculator (type 4) function's program.
double calculatorTokens(std::string_view program);

}  // namespace platform::graphics
