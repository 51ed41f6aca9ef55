// The screenshot: a 32-bit picture in a device-independent bitmap section, taken of the whole
// virtual screen or of the program's own windows only, written as BMP or PNG and shrunk for
// previews.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <string>

#include "delivery/KestrumBitmap.h"
#include "delivery/KestrumPng.h"

extern const GUID IID_INVBitmap;  // {3EE757B5-CC56-4610-A917-E8731737D5BE}

struct INVBitmap : public IUnknown {
  virtual int STDMETHODCALLTYPE GetWidth() = 0;
  virtual int STDMETHODCALLTYPE GetHeight() = 0;
  virtual bool STDMETHODCALLTYPE Draw(HDC dc, int x, int y) = 0;
  virtual std::string STDMETHODCALLTYPE AsBmpStr() = 0;
  // Empty when nothing could be encoded. A grey or size format may leave the pixels grey.
  virtual std::string STDMETHODCALLTYPE AsPngStr(TPngFormat format) = 0;
  // Replace the file; a failed or short write deletes it and answers false.
  virtual bool STDMETHODCALLTYPE SaveBmp(const std::string& bmpFile) = 0;
  virtual bool STDMETHODCALLTYPE SavePng(const std::string& pngFile, TPngFormat format) = 0;
  // A new reference to a resampled copy that fits into width x height; null when none can be made.
  virtual INVBitmap* STDMETHODCALLTYPE Zoom(int width, int height) = 0;
};

class TINVBitmap final : public INVBitmap {
 public:
  // A new bitmap (one reference) of the size, its pixels zero; null when the system has none.
  static TINVBitmap* Create(int width, int height);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  int STDMETHODCALLTYPE GetWidth() override { return FInfo.biWidth; }
  int STDMETHODCALLTYPE GetHeight() override { return FInfo.biHeight; }
  bool STDMETHODCALLTYPE Draw(HDC dc, int x, int y) override;
  std::string STDMETHODCALLTYPE AsBmpStr() override;
  std::string STDMETHODCALLTYPE AsPngStr(TPngFormat format) override;
  bool STDMETHODCALLTYPE SaveBmp(const std::string& bmpFile) override;
  bool STDMETHODCALLTYPE SavePng(const std::string& pngFile, TPngFormat format) override;
  INVBitmap* STDMETHODCALLTYPE Zoom(int width, int height) override;

  // The memory device context that holds the bitmap, for drawing into it.
  HDC Canvas() const { return FDC; }
  delivery::PixelView Pixels() const { return {static_cast<std::uint8_t*>(FBits), FInfo.biWidth, FInfo.biHeight}; }

 private:
  TINVBitmap() = default;
  ~TINVBitmap();

  LONG FRefCount = 1;
  BITMAPINFOHEADER FInfo{};
  void* FBits = nullptr;
  HDC FDC = nullptr;
  HBITMAP FBitmap = nullptr;
  HGDIOBJ FOldBitmap = nullptr;
};

namespace delivery {

// Writes bytes to a file that nobody else may open meanwhile, replacing it. A failed or short
// write deletes the file; an empty content creates nothing. Answers whether the file is complete.
bool WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace delivery

// A screenshot of the whole virtual screen, or (appOnly) of the box around the program's own
// visible windows with everything that covers them white; the cursor drawn in. Null when there
// is nothing to take (no display, no own visible window, every own window covered).
INVBitmap* TakeScreenShot(bool appOnly);

// A BMP file read back (after the user edited it); null when it cannot be read or is damaged.
INVBitmap* LoadBitmapFile(const std::string& file);

namespace kestrum {
struct IZQException;
}

namespace delivery {

// The exception's screenshot (taken now when it is the first request and the exception takes
// one): a new reference, or null when it has none.
INVBitmap* ExceptionScreenShot(kestrum::IZQException* exception);
// The crash flow's screenshot hook: TakeScreenShot, at crash time.
IUnknown* TakeExceptionScreenShot(bool appOnly);

}  // namespace delivery
