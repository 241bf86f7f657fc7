// What the rest of the layer needs from the canvas (canvas.cpp): surfaces, pixels, text width
// and the bookkeeping of live contexts. Internal to COMMON/BM_UI.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>

#include "COMMON/BM_UI/winapi.h"

// A black RGB24 image surface whose pixels are mapped on their own: a bitmap made for one repaint
// gives its memory back to the system when it is destroyed, instead of leaving it in the heap.
// nullptr when it cannot be made.
cairo_surface_t* CreatePixelSurface(int32_t width, int32_t height);
// The canvas's drawing surface (nullptr for a memory context without bitmap or an unknown one).
cairo_surface_t* CanvasSurface(HDC hdc);
// The colour at (x, y) of an RGB24 image surface, or 0xFFFFFFFF outside it (or without one).
COLORREF SurfacePixel(cairo_surface_t* surface, int32_t x, int32_t y);
// The width in pixels of text in the stock font.
int32_t MeasureText(const std::u16string& text);
// Frees the contexts of a window that goes away.
void DestroyCanvasesOf(HWND window);
// Frees every context and every non-stock GDI object.
void DestroyAllGdi();
