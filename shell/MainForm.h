#pragma once

#include <QGroupBox>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QWidget>

#include <array>

class QAbstractItemModel;
class TransferProgress;

#include <QMimeData>

// A push button whose caption wraps onto two lines, the way the narrow command
// buttons need it ("&Log aus- blenden" breaks after its hyphen). text() stays the
// caption as given, so the accelerator works as usual.
class WrapButton : public QPushButton
{
    Q_OBJECT

public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// The URL list box; it takes any drop and leaves the decision to its handler, and
// passes on the keys that paste (Ctrl+V, Shift+Insert) and delete.
class DropListView : public QListView
{
    Q_OBJECT

public:
    using QListView::QListView;

Q_SIGNALS:
    void dropped(const QMimeData *data);
    void pasteRequested();
    void deleteRequested();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
};

// The program's only window. It holds the controls, keeps their geometry and state
// through the few operations below, and hands their events on; the logic lives
// elsewhere.
class MainForm : public QWidget
{
    Q_OBJECT

public:
    // Twips to device-independent pixels.
    static constexpr int tw(int twips) { return twips / 15; }

    explicit MainForm(QWidget *parent = nullptr);

    QGroupBox *Frame1;
    QGroupBox *LogFrame;
    DropListView *Liste;
    QListView *Log;
    std::array<WrapButton *, 4> Btn;

    // Gives the two lists their models; a batch run without a screen leaves them without.
    void showModels(QAbstractItemModel *log, QAbstractItemModel *list);
    // Selects and reveals a row of the log, when the log shows a model that has it.
    void followLog(int row);
    // Moves the window's lower edge so that the log panel lies inside the client area
    // or below it, and switches the panel's button and enabled state to match.
    void setLogShown(bool shown);
    bool logShown() const { return m_logShown; }
    // "&Jetzt laden" is out of reach while a run goes.
    void setDownloadEnabled(bool enabled);

    // Shows a run's progress: the entry being fetched is the selected line of Liste,
    // and the title tells how far it is.
    void followProgress(TransferProgress *progress);

Q_SIGNALS:
    void Btn_Click(int Index);
    void Liste_OLEDragDrop(const QMimeData *Data);
    void Liste_Paste();
    // Row: the selected entry of Liste.
    void Liste_Delete(int Row);
    void closeRequested();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // Sets the height of the client area, keeping the width; the window stays fixed-size.
    void setClientHeight(int height);
    void describeForScreenReaders();
    void connectControls();
    void setKeyboardOrder();

    bool m_centred = false;
    bool m_logShown = true;
};

QIcon quorvexIcon();
// The program's icon drawn at size × size pixels.
QPixmap quorvexIconPixmap(int size);
