// The GDI-shaped canvas on Cairo image surfaces: device contexts for a window (paint or own
// context) or for a memory bitmap, stock and solid brushes, the stock pen and the stock font.
#include <cairo.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "COMMON/BM_UI/canvasinternal.h"
#include "COMMON/BM_UI/uistate.h"
#include "COMMON/BM_UI/uitext.h"

struct BmGdiObject {
    enum class Kind { Brush, Pen, Font, Bitmap } kind;
    bool stock = false;
    bool hollow = false;  // NULL_BRUSH / NULL_PEN
    COLORREF color = 0;
    cairo_surface_t* surface = nullptr;  // Bitmap
    BmCanvas* selectedInto = nullptr;    // Bitmap
};

struct BmCanvas {
    BmWindow* window = nullptr;  // window contexts
    bool memory = false;
    HBRUSH brush = nullptr;
    HPEN pen = nullptr;
    HFONT font = nullptr;
    HBITMAP bitmap = nullptr;
    COLORREF textColor = RGB(0, 0, 0);
    COLORREF bkColor = RGB(255, 255, 255);
    int32_t bkMode = OPAQUE;
    POINT position{};
};

namespace {
constexpr int32_t kMaxBitmapSide = 10000;
constexpr double kStockFontPixels = 11.0;  // a 13-pixel cell: fits the 14-pixel row pitch
constexpr const char* kStockFontFamily = "DejaVu Sans Mono";

BmGdiObject gWhiteBrush{BmGdiObject::Kind::Brush, true, false, RGB(255, 255, 255)};
BmGdiObject gLightGrayBrush{BmGdiObject::Kind::Brush, true, false, RGB(192, 192, 192)};
BmGdiObject gGrayBrush{BmGdiObject::Kind::Brush, true, false, RGB(128, 128, 128)};
BmGdiObject gDarkGrayBrush{BmGdiObject::Kind::Brush, true, false, RGB(64, 64, 64)};
BmGdiObject gBlackBrush{BmGdiObject::Kind::Brush, true, false, RGB(0, 0, 0)};
BmGdiObject gNullBrush{BmGdiObject::Kind::Brush, true, true, 0};
BmGdiObject gWhitePen{BmGdiObject::Kind::Pen, true, false, RGB(255, 255, 255)};
BmGdiObject gBlackPen{BmGdiObject::Kind::Pen, true, false, RGB(0, 0, 0)};
BmGdiObject gNullPen{BmGdiObject::Kind::Pen, true, true, 0};
BmGdiObject gSystemFont{BmGdiObject::Kind::Font, true, false, 0};
// What a memory context holds before a bitmap is selected into it: the first SelectObject of a
// bitmap hands it back, so the usual select / restore / delete sequence frees the caller's bitmap.
// It has no pixels; drawing on it goes nowhere.
BmGdiObject gDefaultBitmap{BmGdiObject::Kind::Bitmap, true, false, 0};

const cairo_user_data_key_t kMappedPixels{};

struct MappedPixels {
    void* block;
    size_t bytes;
};

void UnmapPixels(void* data) {
    auto* pixels = static_cast<MappedPixels*>(data);
    ::munmap(pixels->block, pixels->bytes);
    delete pixels;
}

BmCanvas* Canvas(HDC hdc) {
    return hdc && Ui().canvases.count(hdc) ? hdc : nullptr;
}

bool IsStock(HGDIOBJ o) {
    for (const BmGdiObject* stock :
         {&gWhiteBrush, &gLightGrayBrush, &gGrayBrush, &gDarkGrayBrush, &gBlackBrush, &gNullBrush, &gWhitePen,
          &gBlackPen, &gNullPen, &gSystemFont, &gDefaultBitmap}) {
        if (o == stock) {
            return true;
        }
    }
    return false;
}

// Looked up by address before any field is read: a deleted handle must not be touched.
bool IsObject(HGDIOBJ o) {
    return o && (IsStock(o) || Ui().objects.count(o));
}

BmCanvas* NewCanvas(BmWindow* window, bool memory) {
    auto* c = new BmCanvas;
    c->window = window;
    c->memory = memory;
    c->brush = &gWhiteBrush;
    c->pen = &gBlackPen;
    c->font = &gSystemFont;
    c->bitmap = memory ? &gDefaultBitmap : nullptr;
    Ui().canvases.insert(c);
    return c;
}

void FreeCanvas(BmCanvas* c) {
    if (c->bitmap && !c->bitmap->stock) {
        c->bitmap->selectedInto = nullptr;
    }
    Ui().canvases.erase(c);
    delete c;
}

void SetColor(cairo_t* cr, COLORREF c) {
    cairo_set_source_rgb(cr, GetRValue(c) / 255.0, GetGValue(c) / 255.0, GetBValue(c) / 255.0);
}

// A drawing context on the canvas's surface, or nullptr when it draws nowhere.
cairo_t* Begin(BmCanvas* c) {
    cairo_surface_t* s = CanvasSurface(c);
    if (!s) {
        return nullptr;
    }
    cairo_t* cr = cairo_create(s);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(cr);
        return nullptr;
    }
    return cr;
}

void End(cairo_t* cr) {
    cairo_surface_flush(cairo_get_target(cr));
    cairo_destroy(cr);
}

void SelectStockFont(cairo_t* cr) {
    cairo_select_font_face(cr, kStockFontFamily, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, kStockFontPixels);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_FULL);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);
}

void Show(BmCanvas* c) {
    if (c->window && LocalWindow(c->window) && c->window->visible) {
        Backend().Present(c->window->native, c->window->surface);
    }
}
}  // namespace

cairo_surface_t* CreatePixelSurface(int32_t width, int32_t height) {
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, width);
    if (width < 1 || height < 1 || stride < 1) {
        return nullptr;
    }
    const size_t bytes = static_cast<size_t>(stride) * static_cast<size_t>(height);
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        return nullptr;
    }
    cairo_surface_t* s = cairo_image_surface_create_for_data(static_cast<unsigned char*>(block),
                                                             CAIRO_FORMAT_RGB24, width, height, stride);
    auto* pixels = new MappedPixels{block, bytes};
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS ||
        cairo_surface_set_user_data(s, &kMappedPixels, pixels, UnmapPixels) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        UnmapPixels(pixels);
        return nullptr;
    }
    return s;
}

cairo_surface_t* CanvasSurface(HDC hdc) {
    BmCanvas* c = Canvas(hdc);
    if (!c) {
        return nullptr;
    }
    if (c->memory) {
        return c->bitmap ? c->bitmap->surface : nullptr;
    }
    return c->window && LocalWindow(c->window) ? WindowSurface(*c->window) : nullptr;
}

void DestroyCanvasesOf(HWND window) {
    std::vector<BmCanvas*> doomed;
    for (BmCanvas* c : Ui().canvases) {
        if (c->window == window) {
            doomed.push_back(c);
        }
    }
    for (BmCanvas* c : doomed) {
        FreeCanvas(c);
    }
}

void DestroyAllGdi() {
    UiState& ui = Ui();
    while (!ui.canvases.empty()) {
        FreeCanvas(*ui.canvases.begin());
    }
    for (BmGdiObject* o : ui.objects) {
        if (o->surface) {
            cairo_surface_destroy(o->surface);
        }
        delete o;
    }
    ui.objects.clear();
}

int32_t MeasureText(const std::u16string& text) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t* cr = cairo_create(s);
    SelectStockFont(cr);
    const std::string utf8 = Utf16ToUtf8(text);
    cairo_text_extents_t ext{};
    cairo_text_extents(cr, utf8.c_str(), &ext);
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    return static_cast<int32_t>(ext.x_advance + 0.5);
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps) {
    BmWindow* w = LocalWindow(hwnd);
    if (!w || !ps) {
        return nullptr;
    }
    const bool erase = w->erase;
    w->invalid = false;
    w->erase = false;
    BmCanvas* c = NewCanvas(w, false);
    ps->hdc = c;
    ps->rcPaint = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    ps->fErase = FALSE;
    if (erase) {
        // As Win32 does: the procedure erases (DefWindowProc with the class brush); a zero
        // result leaves the erasing to the painting code.
        ps->fErase = w->proc(w, WM_ERASEBKGND, reinterpret_cast<WPARAM>(c), 0) == 0 ? TRUE : FALSE;
    }
    return Canvas(c);
}

BOOL EndPaint(HWND, const PAINTSTRUCT* ps) {
    BmCanvas* c = ps ? Canvas(ps->hdc) : nullptr;
    if (!c) {
        return FALSE;
    }
    Show(c);
    FreeCanvas(c);
    return TRUE;
}

HDC GetDC(HWND hwnd) {
    BmWindow* w = LocalWindow(hwnd);
    return w ? NewCanvas(w, false) : nullptr;
}

int32_t ReleaseDC(HWND, HDC hdc) {
    BmCanvas* c = Canvas(hdc);
    if (!c || c->memory) {
        return 0;
    }
    Show(c);
    FreeCanvas(c);
    return 1;
}

HDC CreateCompatibleDC(HDC) {
    Backend();
    return NewCanvas(nullptr, true);
}

BOOL DeleteDC(HDC hdc) {
    BmCanvas* c = Canvas(hdc);
    if (!c) {
        return FALSE;
    }
    FreeCanvas(c);
    return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC, int32_t width, int32_t height) {
    if (width < 1 || height < 1 || width > kMaxBitmapSide || height > kMaxBitmapSide) {
        return nullptr;
    }
    cairo_surface_t* s = CreatePixelSurface(width, height);
    if (!s) {
        return nullptr;
    }
    auto* o = new BmGdiObject{BmGdiObject::Kind::Bitmap};
    o->surface = s;
    Ui().objects.insert(o);
    return o;
}

BOOL DeleteObject(HGDIOBJ object) {
    if (!IsObject(object)) {
        return FALSE;
    }
    if (object->stock) {
        return TRUE;
    }
    if (object->selectedInto) {
        return FALSE;  // as in Win32: a selected bitmap cannot be deleted
    }
    for (BmCanvas* c : Ui().canvases) {  // a selected brush or pen falls back to the stock one
        if (c->brush == object) {
            c->brush = &gWhiteBrush;
        }
        if (c->pen == object) {
            c->pen = &gBlackPen;
        }
    }
    if (object->surface) {
        cairo_surface_destroy(object->surface);
    }
    Ui().objects.erase(object);
    delete object;
    return TRUE;
}

HGDIOBJ GetStockObject(int32_t which) {
    switch (which) {
        case WHITE_BRUSH:
            return &gWhiteBrush;
        case LTGRAY_BRUSH:
            return &gLightGrayBrush;
        case GRAY_BRUSH:
            return &gGrayBrush;
        case DKGRAY_BRUSH:
            return &gDarkGrayBrush;
        case BLACK_BRUSH:
            return &gBlackBrush;
        case NULL_BRUSH:
            return &gNullBrush;
        case WHITE_PEN:
            return &gWhitePen;
        case BLACK_PEN:
            return &gBlackPen;
        case NULL_PEN:
            return &gNullPen;
        case SYSTEM_FONT:
            return &gSystemFont;
        default:
            return nullptr;
    }
}

HBRUSH CreateSolidBrush(COLORREF color) {
    auto* o = new BmGdiObject{BmGdiObject::Kind::Brush};
    o->color = color & 0x00FFFFFF;
    Ui().objects.insert(o);
    return o;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object) {
    BmCanvas* c = Canvas(hdc);
    if (!c || !IsObject(object)) {
        return nullptr;
    }
    HGDIOBJ previous = nullptr;
    switch (object->kind) {
        case BmGdiObject::Kind::Brush:
            previous = c->brush;
            c->brush = object;
            break;
        case BmGdiObject::Kind::Pen:
            previous = c->pen;
            c->pen = object;
            break;
        case BmGdiObject::Kind::Font:
            previous = c->font;
            c->font = object;
            break;
        case BmGdiObject::Kind::Bitmap:
            if (!c->memory || (object->selectedInto && object->selectedInto != c)) {
                return nullptr;
            }
            previous = c->bitmap;
            if (c->bitmap && !c->bitmap->stock) {
                c->bitmap->selectedInto = nullptr;
            }
            c->bitmap = object;
            if (!object->stock) {  // the default bitmap is shared by every memory context
                object->selectedInto = c;
            }
            break;
    }
    return previous;
}

int32_t FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
    BmCanvas* c = Canvas(hdc);
    if (!c || !rect || !IsObject(brush) || brush->kind != BmGdiObject::Kind::Brush) {
        return 0;
    }
    if (brush->hollow || rect->right <= rect->left || rect->bottom <= rect->top) {
        return 1;
    }
    cairo_t* cr = Begin(c);
    if (!cr) {
        return 0;
    }
    SetColor(cr, brush->color);
    cairo_rectangle(cr, rect->left, rect->top, static_cast<double>(rect->right) - rect->left,
                    static_cast<double>(rect->bottom) - rect->top);
    cairo_fill(cr);
    End(cr);
    return 1;
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
    BmCanvas* c = Canvas(hdc);
    if (!c) {
        return 0xFFFFFFFF;
    }
    const COLORREF previous = c->textColor;
    c->textColor = color & 0x00FFFFFF;
    return previous;
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
    BmCanvas* c = Canvas(hdc);
    if (!c) {
        return 0xFFFFFFFF;
    }
    const COLORREF previous = c->bkColor;
    c->bkColor = color & 0x00FFFFFF;
    return previous;
}

int32_t SetBkMode(HDC hdc, int32_t mode) {
    BmCanvas* c = Canvas(hdc);
    if (!c || (mode != TRANSPARENT && mode != OPAQUE)) {
        return 0;
    }
    const int32_t previous = c->bkMode;
    c->bkMode = mode;
    return previous;
}

BOOL ExtTextOutW(HDC hdc, int32_t x, int32_t y, UINT, const RECT*, const char16_t* text, UINT count,
                 const int32_t* dx) {
    BmCanvas* c = Canvas(hdc);
    if (!c || (count > 0 && !text) || dx) {
        return FALSE;
    }
    if (count == 0) {
        return TRUE;
    }
    cairo_t* cr = Begin(c);
    if (!cr) {
        return FALSE;
    }
    SelectStockFont(cr);
    std::string utf8 = Utf16ToUtf8(text, count);
    // One line of text: control characters (a discovery line's own line feed) have no glyph
    // and would show as boxes.
    utf8.erase(std::remove_if(utf8.begin(), utf8.end(),
                              [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f; }),
               utf8.end());
    cairo_font_extents_t fe{};
    cairo_font_extents(cr, &fe);
    if (c->bkMode == OPAQUE) {
        cairo_text_extents_t te{};
        cairo_text_extents(cr, utf8.c_str(), &te);
        SetColor(cr, c->bkColor);
        cairo_rectangle(cr, x, y, te.x_advance, fe.ascent + fe.descent);
        cairo_fill(cr);
    }
    SetColor(cr, c->textColor);
    // Win32 places the top of the character cell at y; Cairo wants the baseline.
    cairo_move_to(cr, x, y + static_cast<int32_t>(fe.ascent + 0.5));
    cairo_show_text(cr, utf8.c_str());
    End(cr);
    return TRUE;
}

BOOL MoveToEx(HDC hdc, int32_t x, int32_t y, POINT* previous) {
    BmCanvas* c = Canvas(hdc);
    if (!c) {
        return FALSE;
    }
    if (previous) {
        *previous = c->position;
    }
    c->position = POINT{x, y};
    return TRUE;
}

BOOL LineTo(HDC hdc, int32_t x, int32_t y) {
    BmCanvas* c = Canvas(hdc);
    if (!c) {
        return FALSE;
    }
    const POINT from = c->position;
    c->position = POINT{x, y};
    if (c->pen->hollow || (from.x == x && from.y == y)) {
        return TRUE;
    }
    cairo_t* cr = Begin(c);
    if (!cr) {
        return FALSE;
    }
    SetColor(cr, c->pen->color);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    if (from.y == y || from.x == x) {
        // One-pixel-wide run of pixels, the end point excluded, as Win32 draws it.
        const int32_t x0 = std::min(from.x, x) + (x < from.x ? 1 : 0);
        const int32_t x1 = std::max(from.x, x) + (x < from.x ? 1 : 0);
        const int32_t y0 = std::min(from.y, y) + (y < from.y ? 1 : 0);
        const int32_t y1 = std::max(from.y, y) + (y < from.y ? 1 : 0);
        cairo_rectangle(cr, x0, y0, from.y == y ? x1 - x0 : 1, from.y == y ? 1 : y1 - y0);
        cairo_fill(cr);
    } else {
        cairo_set_line_width(cr, 1.0);
        cairo_move_to(cr, from.x + 0.5, from.y + 0.5);
        cairo_line_to(cr, x + 0.5, y + 0.5);
        cairo_stroke(cr);
    }
    End(cr);
    return TRUE;
}

BOOL BitBlt(HDC dest, int32_t x, int32_t y, int32_t width, int32_t height, HDC source, int32_t sourceX,
            int32_t sourceY, DWORD rop) {
    BmCanvas* d = Canvas(dest);
    BmCanvas* s = Canvas(source);
    if (!d || !s || rop != SRCCOPY || width < 0 || height < 0) {
        return FALSE;
    }
    cairo_surface_t* from = CanvasSurface(s);
    cairo_t* cr = Begin(d);
    if (!from || !cr) {
        if (cr) {
            cairo_destroy(cr);
        }
        return FALSE;
    }
    cairo_surface_flush(from);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, from, static_cast<double>(x) - sourceX, static_cast<double>(y) - sourceY);
    cairo_rectangle(cr, x, y, width, height);
    cairo_fill(cr);
    End(cr);
    return TRUE;
}

COLORREF GetPixel(HDC hdc, int32_t x, int32_t y) {
    return SurfacePixel(CanvasSurface(hdc), x, y);
}

COLORREF SurfacePixel(cairo_surface_t* s, int32_t x, int32_t y) {
    if (!s || x < 0 || y < 0 || x >= cairo_image_surface_get_width(s) ||
        y >= cairo_image_surface_get_height(s)) {
        return 0xFFFFFFFF;
    }
    cairo_surface_flush(s);
    const unsigned char* row =
        cairo_image_surface_get_data(s) + static_cast<size_t>(y) * cairo_image_surface_get_stride(s);
    uint32_t px = 0;
    std::memcpy(&px, row + static_cast<size_t>(x) * 4, 4);
    return RGB(static_cast<uint8_t>(px >> 16), static_cast<uint8_t>(px >> 8), static_cast<uint8_t>(px));
}
