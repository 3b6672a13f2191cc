// The reference for the start-up benchmark: a wx program that shows one empty frame. With
// --caption the frame also shows one line of Chinese text in the face tunova uses, which gives
// the cost of opening a CJK face and drawing text, apart from everything else.
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/panel.h>
#include <wx/stattext.h>

class BareApp : public wxApp {
public:
  bool OnInit() override {
    auto* frame =
        new wxFrame(nullptr, wxID_ANY, "bare-wx-reference", wxPoint(50, 50), wxSize(811, 498));
    if (argc > 1 && argv[1] == "--caption") {
      auto* panel = new wxPanel(frame);
      panel->SetFont(wxFont(wxFontInfo(9).FaceName("Noto Sans CJK SC")));
      new wxStaticText(panel, wxID_ANY, wxString::FromUTF8("状态：搜索完成"), wxPoint(8, 8));
    }
    frame->Show();
    return true;
  }
};

wxIMPLEMENT_APP(BareApp);
