#include "extras/IconRender.h"

#include <gio/gdesktopappinfo.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kSize = 96;

GdkPixbuf* fromTheme(GtkIconTheme* theme, GIcon* icon) {
  if (!theme || !icon) return nullptr;
  GtkIconInfo* info = gtk_icon_theme_lookup_by_gicon(theme, icon, kSize, GTK_ICON_LOOKUP_FORCE_SIZE);
  if (!info) return nullptr;
  GdkPixbuf* pix = gtk_icon_info_load_icon(info, nullptr);
  g_object_unref(info);
  return pix;
}

// A plain window-like tile, for a theme without a generic application icon.
GdkPixbuf* drawnGeneric() {
  GdkPixbuf* pix = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, kSize, kSize);
  if (!pix) return nullptr;
  gdk_pixbuf_fill(pix, 0);
  guchar* px = gdk_pixbuf_get_pixels(pix);
  int stride = gdk_pixbuf_get_rowstride(pix);
  const int m = 10, r = 14;
  for (int y = m; y < kSize - m; ++y)
    for (int x = m; x < kSize - m; ++x) {
      // Rounded corners: outside the corner circles stays transparent.
      int cx = std::clamp(x, m + r, kSize - m - r - 1), cy = std::clamp(y, m + r, kSize - m - r - 1);
      if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > r * r) continue;
      guchar* p = px + y * stride + x * 4;
      bool bar = y < m + 20;
      p[0] = bar ? 0x4c : 0x8a;
      p[1] = bar ? 0x8d : 0x93;
      p[2] = bar ? 0xff : 0xa5;
      p[3] = 0xff;
    }
  return pix;
}

std::string encode(GdkPixbuf* src) {
  GdkPixbuf* dest = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, kSize, kSize);
  if (!dest) return "";
  gdk_pixbuf_fill(dest, 0);
  int w = gdk_pixbuf_get_width(src), h = gdk_pixbuf_get_height(src);
  if (w > 0 && h > 0) {
    double scale = std::min(double(kSize) / w, double(kSize) / h);
    int dw = std::max(1, int(std::lround(w * scale))), dh = std::max(1, int(std::lround(h * scale)));
    int x = (kSize - dw) / 2, y = (kSize - dh) / 2;
    gdk_pixbuf_composite(src, dest, x, y, dw, dh, x, y, scale, scale, GDK_INTERP_BILINEAR, 255);
  }
  gchar* buf = nullptr;
  gsize len = 0;
  std::string out;
  if (gdk_pixbuf_save_to_buffer(dest, &buf, &len, "png", nullptr, nullptr) && buf) {
    gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(buf), len);
    out = b64;
    g_free(b64);
  }
  g_free(buf);
  g_object_unref(dest);
  return out;
}

}  // namespace

std::string renderAppIcon(GtkIconTheme* theme, const std::string& desktopPath) {
  GdkPixbuf* pix = nullptr;
  if (GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(desktopPath.c_str())) {
    pix = fromTheme(theme, g_app_info_get_icon(G_APP_INFO(info)));
    g_object_unref(info);
  }
  if (!pix) {
    GIcon* generic = g_themed_icon_new("application-x-executable");
    pix = fromTheme(theme, generic);
    g_object_unref(generic);
  }
  if (!pix) pix = drawnGeneric();
  if (!pix) return "";
  std::string out = encode(pix);
  g_object_unref(pix);
  return out;
}
