#pragma once
// The message template window: one for the whole program, serving the
// message box of the chat window used most recently.
#include "TemplateFile.h"

#include <QPointer>
#include <QWidget>
#include <filesystem>
#include <vector>

class QListWidget;
class QPushButton;

class TTempfm : public QWidget {
  public:
    // file: where the templates are kept (TemplateFilePath() in the program).
    explicit TTempfm(std::filesystem::path file = templates::TemplateFilePath(),
                     QWidget* parent = nullptr);
    ~TTempfm() override;

    QListWidget* ListBox;
    QPushButton* btn_Put;
    QPushButton* btn_del;

    // The chat window served and its message box (a QPlainTextEdit or
    // QTextEdit). Both are forgotten when they are destroyed.
    void SetChat(QWidget* chatWindow, QWidget* memo);
    QWidget* Chat() const { return chat_; }

    void LoadTemplates();
    // Writes the file when the list is not empty; a failure is shown in an
    // error box. Runs once: at program end (or the window's destruction).
    void SaveTemplates();
    const std::vector<templates::TemplateLines>& Templates() const { return cells_; }

    void btn_PutClick();
    void btn_delClick();
    void ListBoxDblClick();

  protected:
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void FormShow();
    void Append(templates::TemplateLines lines);
    // The row of the selected template, or -1 when none is selected.
    int SelectedRow() const;

    std::filesystem::path file_;
    std::vector<templates::TemplateLines> cells_;
    QPointer<QWidget> chat_;
    QPointer<QWidget> memo_;
    bool saved_ = false;
};
