#include "ErrorHandler.h"

#include "Exception.h"
#include "QtText.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

namespace platform {
namespace {
MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}
} // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    Hook() = std::move(hook);
}

int MessageBox(QWidget* parent, const AnsiString& text, const AnsiString& caption, unsigned flags) {
    return MessageBoxQ(parent, ToQString(text), ToQString(caption), flags);
}

int MessageBoxQ(QWidget* parent, const QString& text, const QString& caption, unsigned flags) {
    if (Hook()) return Hook()(text, caption, flags);
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        std::fprintf(stderr, "%s: %s\n", caption.toUtf8().constData(), text.toUtf8().constData());
        return (flags & 0xF) == MB_YESNO ? IDNO : IDOK;
    }
    QMessageBox box(parent);
    box.setWindowTitle(caption);
    box.setText(text);
    switch (flags & 0xF0) {
    case MB_ICONERROR:
        box.setIcon(QMessageBox::Critical);
        break;
    case MB_ICONQUESTION:
        box.setIcon(QMessageBox::Question);
        break;
    case MB_ICONWARNING:
        box.setIcon(QMessageBox::Warning);
        break;
    case MB_ICONINFORMATION:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    box.setWindowModality(Qt::ApplicationModal);
    switch (flags & 0xF) {
    case MB_OKCANCEL: {
        auto* ok = box.addButton(QMessageBox::Ok);
        box.addButton(QMessageBox::Cancel);
        box.exec();
        return box.clickedButton() == ok ? IDOK : IDCANCEL;
    }
    case MB_YESNO: {
        auto* yes = box.addButton(QMessageBox::Yes);
        box.addButton(QMessageBox::No);
        box.exec();
        return box.clickedButton() == yes ? IDYES : IDNO;
    }
    default:
        box.addButton(QMessageBox::Ok);
        box.exec();
        return IDOK;
    }
}

void ShowException(const std::exception& e) {
    if (dynamic_cast<const EAbort*>(&e)) return;
    // Our own errors carry CP932 text; anything else (the standard library's) is plain ASCII.
    MessageBox(QApplication::activeWindow(), e.what(), "Parlora", MB_OK | MB_ICONERROR);
}

void HandleCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        MessageBox(nullptr, "Unknown error", "Parlora", MB_OK | MB_ICONERROR);
    }
}

void Beep() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) QApplication::beep();
}

} // namespace platform
