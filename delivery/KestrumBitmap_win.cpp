#include "delivery/KestrumBitmap_win.h"

#include <cstring>
#include <vector>

#include "platform/Handles_win.h"
#include "platform/Trace_win.h"

const GUID IID_INVBitmap = {0x3EE757B5, 0xCC56, 0x4610, {0xA9, 0x17, 0xE8, 0x73, 0x17, 0x37, 0xD5, 0xBE}};

TINVBitmap* TINVBitmap::Create(int width, int height) {
  if (width < 1 || height < 1) return nullptr;
  auto* b = new TINVBitmap;
  BITMAPINFOHEADER& h = b->FInfo;
  h.biSize = sizeof h;
  h.biWidth = width;
  h.biHeight = height;  // positive: rows bottom-up
  h.biPlanes = 1;
  h.biBitCount = 32;
  h.biCompression = BI_RGB;
  h.biSizeImage = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4;
  b->FDC = CreateCompatibleDC(nullptr);
  if (b->FDC) { b->FBitmap = CreateDIBSection(b->FDC, reinterpret_cast<BITMAPINFO*>(&h), DIB_RGB_COLORS, &b->FBits, nullptr, 0); }
  if (!b->FBitmap || !b->FBits) {
    b->Release();
    return nullptr;
  }
  b->FOldBitmap = SelectObject(b->FDC, b->FBitmap);
  return b;
}

TINVBitmap::~TINVBitmap() {
  if (FDC && FOldBitmap) SelectObject(FDC, FOldBitmap);
  if (FBitmap) DeleteObject(FBitmap);
  if (FDC) DeleteDC(FDC);
}

HRESULT STDMETHODCALLTYPE TINVBitmap::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_INVBitmap)) {
    *out = static_cast<INVBitmap*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE TINVBitmap::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&FRefCount)); }

ULONG STDMETHODCALLTYPE TINVBitmap::Release() {
  const LONG left = InterlockedDecrement(&FRefCount);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

bool STDMETHODCALLTYPE TINVBitmap::Draw(HDC dc, int x, int y) {
  GdiFlush();
  return BitBlt(dc, x, y, FInfo.biWidth, FInfo.biHeight, FDC, 0, 0, SRCCOPY) != FALSE;
}

std::string STDMETHODCALLTYPE TINVBitmap::AsBmpStr() {
  GdiFlush();  // drawing into the section may still be queued
  return delivery::BmpFileImage(Pixels());
}

std::string STDMETHODCALLTYPE TINVBitmap::AsPngStr(TPngFormat format) {
  GdiFlush();
  return delivery::PngInFormat(Pixels(), format);
}

bool STDMETHODCALLTYPE TINVBitmap::SaveBmp(const std::string& bmpFile) { return delivery::WriteWholeFile(bmpFile, AsBmpStr()); }

bool STDMETHODCALLTYPE TINVBitmap::SavePng(const std::string& pngFile, TPngFormat format) {
  return delivery::WriteWholeFile(pngFile, AsPngStr(format));
}

INVBitmap* STDMETHODCALLTYPE TINVBitmap::Zoom(int width, int height) {
  const delivery::Size size = delivery::FitInto(FInfo.biWidth, FInfo.biHeight, width, height);
  TINVBitmap* zoomed = Create(size.width, size.height);
  if (!zoomed) return nullptr;
  GdiFlush();
  const delivery::Picture picture = delivery::Resample(Pixels(), size.width, size.height);
  std::memcpy(zoomed->FBits, picture.bits.data(), picture.bits.size());
  return zoomed;
}

namespace delivery {

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  if (bytes.empty()) return false;
  bool complete = false;
  {
    platform::ScopedFileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    complete = WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
  }
  if (!complete) DeleteFileA(path.c_str());
  return complete;
}

}  // namespace delivery

INVBitmap* LoadBitmapFile(const std::string& file) {
  platform::ScopedFileHandle handle(
      CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) return nullptr;
  LARGE_INTEGER size{};
  // The loader refuses pictures larger than this many bytes can describe in any layout anyway.
  constexpr LONGLONG kMaxFile = 1ll << 30;
  if (!GetFileSizeEx(handle.Get(), &size) || size.QuadPart > kMaxFile) return nullptr;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes.empty() && (!ReadFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size())) {
    return nullptr;
  }
  const delivery::BmpLoad loaded = delivery::LoadBmp(bytes);
  if (!loaded.ok) {
    platform::Trace("bitmap file %s not loaded: %s", file.c_str(), loaded.error.c_str());
    return nullptr;
  }
  TINVBitmap* bitmap = TINVBitmap::Create(loaded.picture.width, loaded.picture.height);
  if (!bitmap) return nullptr;
  std::memcpy(bitmap->Pixels().bits, loaded.picture.bits.data(), loaded.picture.bits.size());
  return bitmap;
}
