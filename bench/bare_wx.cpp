// The reference for the start-up benchmark: a wx program that shows one empty frame.
#include <wx/app.h>
#include <wx/frame.h>

class BareApp : public wxApp {
public:
  bool OnInit() override {
    auto* frame =
        new wxFrame(nullptr, wxID_ANY, "bare-wx-reference", wxPoint(50, 50), wxSize(811, 498));
    frame->Show();
    return true;
  }
};

wxIMPLEMENT_APP(BareApp);
