#pragma once
// What a screen reader is told about a control wx draws itself or leaves unnamed (over ATK, the
// toolkit's accessibility layer, which AT-SPI carries to the reader): its role and its name.
#include <gtk/gtk.h>
#include <wx/window.h>

#include <cstring>

namespace tunova {

inline AtkObject* accessibleOf(wxWindow* w) {
  GtkWidget* widget = w ? w->GetHandle() : nullptr;
  return widget ? gtk_widget_get_accessible(widget) : nullptr;
}

inline void describe(wxWindow* w, AtkRole role, const wxString& name) {
  if (AtkObject* accessible = accessibleOf(w)) {
    atk_object_set_role(accessible, role);
    atk_object_set_name(accessible, name.utf8_str());
  }
}

// A new text for a described control; a reader hears of a change only when there is one.
inline void renameAccessible(wxWindow* w, const wxString& name) {
  AtkObject* accessible = accessibleOf(w);
  if (!accessible) return;
  const wxScopedCharBuffer utf8 = name.utf8_str();
  const char* now = atk_object_get_name(accessible);
  if (!now || std::strcmp(now, utf8.data()) != 0) atk_object_set_name(accessible, utf8.data());
}

} // namespace tunova
