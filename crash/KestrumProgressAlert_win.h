// A progress window as the crash flow drives it: the please-wait window while a report is being
// completed. Implemented by the delivery's progress window (the sending window is the same kind);
// the flow gets one through DeliveryHooks::createProgressWindow.
//
// Weighted areas: the bar shows (start of the current area + its weight x position / 1000) of
// the total. The window has no message loop of its own: it lives on the thread that called Show,
// which keeps it alive through SetPosition and ProcessMessages. One thread at a time drives it.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <cstdint>
#include <string>

extern const GUID IID_IProgressAlert;  // {45B8448C-47B8-4F1C-886E-95ED5FD41E5F}

struct IProgressAlert : public IUnknown {
  virtual std::string STDMETHODCALLTYPE GetTitle() = 0;
  virtual void STDMETHODCALLTYPE SetTitle(const std::string& value) = 0;
  virtual int STDMETHODCALLTYPE GetPosition() = 0;
  virtual void STDMETHODCALLTYPE SetPosition(int value) = 0;
  virtual void STDMETHODCALLTYPE AddArea(std::int64_t weight, const std::string& text) = 0;
  virtual void STDMETHODCALLTYPE ClearAreas() = 0;
  virtual void STDMETHODCALLTYPE AreaDone() = 0;
  virtual int STDMETHODCALLTYPE GetCurrentArea() = 0;
  virtual void STDMETHODCALLTYPE SetCurrentArea(int value) = 0;
  virtual void STDMETHODCALLTYPE ProcessMessages() = 0;
  // False when the window is already shown.
  virtual bool STDMETHODCALLTYPE Show(HWND parentWindow, bool activate) = 0;
  virtual void STDMETHODCALLTYPE Close() = 0;
};
