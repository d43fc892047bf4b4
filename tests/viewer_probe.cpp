// tresk_viewer_probe: the eyes of the viewer's end-to-end test. It finds
// windows by title, takes screenshots of a window straight from the X server,
// and compares them with each other and with the renderer's own "out.tga".
//
//   find TITLE                      id of the viewable top-level window, else exit 1
//   shot WINDOW OUT.png             the window's client area as 24-bit PNG
//   compare SHOT.png IMAGE.tga X0 Y0 X1 Y1
//                                   the screenshot against the image as the viewer
//                                   shows it (scaled into the largest centred square,
//                                   bilinear, clamped; black around the square),
//                                   outside the overlay box [X0,X1)×[Y0,Y1) in window
//                                   pixels from the top left
//   diff A.png B.png X0 Y0 X1 Y1    mean absolute difference outside the box
//   magenta SHOT.png X0 Y0 X1 Y1    number of overlay-coloured pixels inside the box
//   model SHOT.png                  the model's pixels (the stage's terracotta):
//                                   "count x y", their number and mean place
//   size IMAGE                      "width height"
//   close WINDOW                    asks the window to close (WM_DELETE_WINDOW), as a
//                                   window manager's close button does; prints when
//                                   (milliseconds since the epoch)
//
// Images are read with FreeImage, which puts a TGA's lower-left origin right.
#include <FreeImage.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// An 8-bit RGB image with row 0 at the top.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    const unsigned char* at(int x, int y) const { return &rgb[3 * (size_t(y) * width + x)]; }
};

struct Box {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool contains(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};

bool load(const char* path, Image& image) {
    FREE_IMAGE_FORMAT format = FreeImage_GetFileType(path, 0);
    if (format == FIF_UNKNOWN) format = FreeImage_GetFIFFromFilename(path);
    FIBITMAP* loaded = FreeImage_Load(format, path, 0);
    if (!loaded) {
        std::fprintf(stderr, "probe: cannot read %s\n", path);
        return false;
    }
    FIBITMAP* bitmap = FreeImage_ConvertTo24Bits(loaded);
    FreeImage_Unload(loaded);
    image.width = int(FreeImage_GetWidth(bitmap));
    image.height = int(FreeImage_GetHeight(bitmap));
    image.rgb.resize(size_t(3) * image.width * image.height);
    for (int y = 0; y < image.height; ++y) {
        // FreeImage keeps the bottom row first.
        const BYTE* line = FreeImage_GetScanLine(bitmap, image.height - 1 - y);
        for (int x = 0; x < image.width; ++x) {
            unsigned char* p = &image.rgb[3 * (size_t(y) * image.width + x)];
            p[0] = line[3 * x + FI_RGBA_RED];
            p[1] = line[3 * x + FI_RGBA_GREEN];
            p[2] = line[3 * x + FI_RGBA_BLUE];
        }
    }
    FreeImage_Unload(bitmap);
    return true;
}

// The X server may refuse a connection for a moment while other clients
// connect; try for a second before giving up.
Display* openDisplay() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (Display* display = XOpenDisplay(nullptr)) return display;
        usleep(50000);
    }
    std::fprintf(stderr, "probe: cannot open the display\n");
    return nullptr;
}

// The id of the viewable top-level window titled exactly so.
int find(const char* title) {
    Display* display = openDisplay();
    if (!display) return 2;
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    int result = 1;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count && result != 0; ++i) {
        XWindowAttributes attributes;
        XTextProperty name = {};
        if (!XGetWindowAttributes(display, children[i], &attributes) ||
            attributes.map_state != IsViewable || !XGetWMName(display, children[i], &name))
            continue;
        // SDL writes the title as UTF-8 text, whatever the property's type says.
        if (std::string(reinterpret_cast<char*>(name.value), name.nitems) == title) {
            std::printf("%lu\n", children[i]);
            result = 0;
        }
        XFree(name.value);
    }
    if (children) XFree(children);
    XCloseDisplay(display);
    return result;
}

int shot(const char* windowText, const char* path) {
    Display* display = openDisplay();
    if (!display) return 2;
    const Window window = std::strtoul(windowText, nullptr, 0);
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes)) {
        std::fprintf(stderr, "probe: no window %s\n", windowText);
        return 2;
    }
    XImage* x = XGetImage(display, window, 0, 0, unsigned(attributes.width),
                          unsigned(attributes.height), AllPlanes, ZPixmap);
    // A 24-bit true-colour visual keeps a pixel in 32 bits, as FreeImage does.
    FIBITMAP* raw = x && x->bits_per_pixel == 32
                        ? FreeImage_ConvertFromRawBits(
                              reinterpret_cast<BYTE*>(x->data), x->width, x->height,
                              x->bytes_per_line, 32, x->red_mask, x->green_mask, x->blue_mask, TRUE)
                        : nullptr;
    if (x) XDestroyImage(x);
    XCloseDisplay(display);
    FIBITMAP* rgb = raw ? FreeImage_ConvertTo24Bits(raw) : nullptr;
    const bool saved = rgb && FreeImage_Save(FIF_PNG, rgb, path, 0);
    if (raw) FreeImage_Unload(raw);
    if (rgb) FreeImage_Unload(rgb);
    if (!saved) std::fprintf(stderr, "probe: cannot read window %s into %s\n", windowText, path);
    return saved ? 0 : 2;
}

// What the viewer shows at the centre of window pixel (x, y): the texture as
// GL_LINEAR, clamped at its edges, over the largest centred square,
// texture row 0 at the square's bottom; black outside the square.
void sampleShown(const Image& texture, int width, int height, int x, int y, float out[3]) {
    const int side = std::min(width, height);
    x -= (width - side) / 2;
    y -= (height - side) / 2;
    if (x < 0 || y < 0 || x >= side || y >= side) {
        out[0] = out[1] = out[2] = 0.f;
        return;
    }
    const double u = (x + 0.5) / side * texture.width - 0.5;
    const double v = (side - 1 - y + 0.5) / side * texture.height - 0.5;
    const int u0 = int(std::floor(u)), v0 = int(std::floor(v));
    const double fu = u - u0, fv = v - v0;
    auto texel = [&](int tu, int tv, int c) {
        tu = std::clamp(tu, 0, texture.width - 1);
        tv = std::clamp(tv, 0, texture.height - 1);
        return double(texture.at(tu, texture.height - 1 - tv)[c]);  // image rows top-down
    };
    for (int c = 0; c < 3; ++c) {
        const double top = texel(u0, v0, c) * (1 - fu) + texel(u0 + 1, v0, c) * fu;
        const double bottom = texel(u0, v0 + 1, c) * (1 - fu) + texel(u0 + 1, v0 + 1, c) * fu;
        out[c] = float(top * (1 - fv) + bottom * fv);
    }
}

int compare(const char* shotPath, const char* imagePath, const Box& overlay) {
    Image shown, texture;
    if (!load(shotPath, shown) || !load(imagePath, texture)) return 2;
    // "out.tga" truncates v × 255 while the texture rounds it, and the
    // filtering of the two differs in its last bits: a few levels apart.
    const double kPixelTolerance = 4.0;
    long compared = 0, outliers = 0;
    double sum = 0.0, worst = 0.0;
    for (int y = 0; y < shown.height; ++y) {
        for (int x = 0; x < shown.width; ++x) {
            if (overlay.contains(x, y)) continue;
            float expected[3];
            sampleShown(texture, shown.width, shown.height, x, y, expected);
            double d = 0.0;
            for (int c = 0; c < 3; ++c) {
                // A truncated byte lies half a level below the rounded one.
                const double rounded = double(expected[c]) + 0.5;
                d = std::max(d, std::fabs(double(shown.at(x, y)[c]) - rounded));
            }
            sum += d;
            worst = std::max(worst, d);
            if (d > kPixelTolerance) ++outliers;
            ++compared;
        }
    }
    const double mean = compared ? sum / double(compared) : 0.0;
    std::printf(
        "compared %ld pixels of %dx%d against %dx%d: mean %.3f, worst %.1f, %ld over %.0f\n",
        compared, shown.width, shown.height, texture.width, texture.height, mean, worst, outliers,
        kPixelTolerance);
    // Allow a handful of outliers (a stray cursor pixel), not a wrong picture.
    return (mean < 1.0 && outliers <= compared / 1000) ? 0 : 1;
}

int diff(const char* a, const char* b, const Box& exclude) {
    Image ia, ib;
    if (!load(a, ia) || !load(b, ib)) return 2;
    if (ia.width != ib.width || ia.height != ib.height) {
        std::printf("255\n");
        return 0;
    }
    double sum = 0.0;
    long count = 0;
    for (int y = 0; y < ia.height; ++y) {
        for (int x = 0; x < ia.width; ++x) {
            if (exclude.contains(x, y)) continue;
            for (int c = 0; c < 3; ++c) sum += std::abs(int(ia.at(x, y)[c]) - int(ib.at(x, y)[c]));
            count += 3;
        }
    }
    std::printf("%.4f\n", count ? sum / double(count) : 0.0);
    return 0;
}

int magenta(const char* path, const Box& box) {
    Image image;
    if (!load(path, image)) return 2;
    long count = 0;
    for (int y = std::max(0, box.y0); y < std::min(image.height, box.y1); ++y) {
        for (int x = std::max(0, box.x0); x < std::min(image.width, box.x1); ++x) {
            const unsigned char* p = image.at(x, y);
            if (p[0] >= 250 && p[1] <= 5 && p[2] >= 250) ++count;
        }
    }
    std::printf("%ld\n", count);
    return 0;
}

// The stage paints the model terracotta (0.8, 0.42, 0.28): lit or in
// shade, red stands above green and blue, unlike the grey floor, the sky
// and the overlay.
int model(const char* path) {
    Image image;
    if (!load(path, image)) return 2;
    long count = 0, sumX = 0, sumY = 0;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const unsigned char* p = image.at(x, y);
            if (p[0] < 30 || p[0] * 100 < p[1] * 110 || p[0] * 100 < p[2] * 115) continue;
            ++count;
            sumX += x;
            sumY += y;
        }
    }
    std::printf("%ld %ld %ld\n", count, count ? sumX / count : -1, count ? sumY / count : -1);
    return 0;
}

int closeWindow(const char* windowText) {
    Display* display = openDisplay();
    if (!display) return 2;
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::strtoul(windowText, nullptr, 0);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    XCloseDisplay(display);  // flushes the request
    if (!sent) return 2;
    // When the request went out, in milliseconds since the epoch.
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    std::printf("%lld\n", (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
    return 0;
}

Box boxOf(char** argv) {
    return {std::atoi(argv[0]), std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3])};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "find" && argc == 3) return find(argv[2]);
    if (command == "shot" && argc == 4) return shot(argv[2], argv[3]);
    if (command == "compare" && argc == 8) return compare(argv[2], argv[3], boxOf(argv + 4));
    if (command == "diff" && argc == 8) return diff(argv[2], argv[3], boxOf(argv + 4));
    if (command == "magenta" && argc == 7) return magenta(argv[2], boxOf(argv + 3));
    if (command == "close" && argc == 3) return closeWindow(argv[2]);
    if (command == "model" && argc == 3) return model(argv[2]);
    if (command == "size" && argc == 3) {
        Image image;
        if (!load(argv[2], image)) return 2;
        std::printf("%d %d\n", image.width, image.height);
        return 0;
    }
    std::fprintf(stderr,
                 "usage: %s find TITLE | shot WINDOW OUT.png | compare SHOT IMAGE X0 Y0 X1 Y1 |"
                 " diff A B X0 Y0 X1 Y1 | magenta SHOT X0 Y0 X1 Y1 | model SHOT | size IMAGE |"
                 " close WINDOW\n",
                 argv[0]);
    return 2;
}
