#pragma once
// The address notification of the options dialog: the start page, sent
// after the first room of a run was created, and the exit page, sent at the
// program's end when a start page went out. Each builds the page from its
// template and stores it by FTP; failures go to the FTP log window and an
// error box.
//
// One upload at a time: a request that comes while an upload (or its
// closing message box) is running is dropped. The running start page
// settles whether a page went out; waiting for it is impossible, because
// the running upload can only finish after a nested request returns.
#include "platform/AnsiString.h"

#include <filesystem>

class QLineEdit;
class TLowFTP;
class TOptfm;
class Tftpdebugfm;

class TAddressNotifier {
  public:
    TAddressNotifier(TOptfm& optfm, TLowFTP& ftp, Tftpdebugfm& log);

    // Both check the notify switch themselves.
    void NotifyStartPage();
    void NotifyExitPage();

    // The page built from a template, written to PageFile; no template, no page.
    void MakePageFile(const std::filesystem::path& templatePath);
    // Connect, log in, ASCII, change folders, store, disconnect. Raises
    // platform::Exception with the failing step's text and code.
    void UploadPage(const std::filesystem::path& localFile);

    // A start page went out in this run (set once, never cleared).
    bool StartPageSent() const { return startPageSent_; }
    // An upload is running.
    bool Uploading() const { return uploading_; }

    // Where pages are built; beside the program unless that cannot be written.
    std::filesystem::path PageFile;

  private:
    // Builds and sends the page whose template `templateBox` names; false
    // when it was not sent (missing template or FTP failure, both reported).
    bool SendPage(const QLineEdit* templateBox, const char* missingText);
    void Box(const char* utf8Text, unsigned flags);

    TOptfm& optfm_;
    TLowFTP& ftp_;
    Tftpdebugfm& log_;
    bool startPageSent_ = false;
    bool uploading_ = false;
};
