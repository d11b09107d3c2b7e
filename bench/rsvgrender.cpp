// kestrel-rsvg: draws an SVG document once into an image of a given size with librsvg and does
// nothing else; the yardstick kestrel-convert's vector path is timed against in the benchmark.
#include <librsvg/rsvg.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    GError *error = nullptr;
    RsvgHandle *handle = rsvg_handle_new_from_file(argv[1], &error);
    if (!handle)
        return 1;
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t *cr = cairo_create(surface);
    const RsvgRectangle viewport{0, 0, double(width), double(height)};
    const bool ok = rsvg_handle_render_document(handle, cr, &viewport, &error);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    g_object_unref(handle);
    return ok ? 0 : 1;
}
