#include "shell/MainForm.h"

#include "log/TransferProgress.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>

void WrapButton::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    painter.drawItemText(area, Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, palette(),
                         isEnabled(), caption, QPalette::ButtonText);
}

// The list only ever takes a copy of what is dropped. Accepting a move (a source's
// choice, e.g. with Shift held) would let the source delete its text or file, even
// when the drop is then refused.
static void acceptAsCopy(QDropEvent *event)
{
    if (event->possibleActions() & Qt::CopyAction) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
}

void DropListView::dragEnterEvent(QDragEnterEvent *event)
{
    acceptAsCopy(event);
}

void DropListView::dragMoveEvent(QDragMoveEvent *event)
{
    acceptAsCopy(event);
}

void DropListView::dropEvent(QDropEvent *event)
{
    acceptAsCopy(event);
    Q_EMIT dropped(event->mimeData());
}

void DropListView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Paste)) {
        event->accept();
        Q_EMIT pasteRequested();
    } else if (event->matches(QKeySequence::Delete)) {
        event->accept();
        Q_EMIT deleteRequested();
    } else {
        QListView::keyPressEvent(event);
    }
}

QPixmap quorvexIconPixmap(int size)
{
    // A blue folder with a green arrow pointing into it.
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;
    p.setPen(QPen(QColor(0, 0, 128), 1.5 * s));
    p.setBrush(QColor(0, 128, 255));
    p.drawRoundedRect(QRectF(2 * s, 14 * s, 28 * s, 16 * s), 2 * s, 2 * s);
    p.setBrush(QColor(0, 160, 0));
    p.setPen(QPen(QColor(0, 80, 0), 1.2 * s));
    const QPolygonF arrow({QPointF(12 * s, 2 * s), QPointF(20 * s, 2 * s), QPointF(20 * s, 12 * s),
                           QPointF(26 * s, 12 * s), QPointF(16 * s, 24 * s), QPointF(6 * s, 12 * s),
                           QPointF(12 * s, 12 * s)});
    p.drawPolygon(arrow);
    p.end();
    return pixmap;
}

QIcon quorvexIcon()
{
    QIcon icon;
    for (const int size : {16, 32})
        icon.addPixmap(quorvexIconPixmap(size));
    return icon;
}

// What a screen reader says of the controls; the buttons' captions carry
// accelerators and a forced line break.
void MainForm::describeForScreenReaders()
{
    Liste->setAccessibleName(QStringLiteral("URL-Liste"));
    Liste->setAccessibleDescription(QStringLiteral("Die Einträge, die „Jetzt laden“ herunterlädt. Strg+V fügt Links "
                                                   "aus der Zwischenablage ein, Entf entfernt den gewählten Eintrag."));
    Log->setAccessibleName(QStringLiteral("Log"));
    Log->setAccessibleDescription(QStringLiteral("Jedes Kommando, jede Übertragung und jeder Fehler mit Uhrzeit."));
    Btn[0]->setAccessibleName(QStringLiteral("Log löschen"));
    Btn[0]->setAccessibleDescription(QStringLiteral("Leert das Log."));
    Btn[1]->setAccessibleName(QStringLiteral("Jetzt laden"));
    Btn[1]->setAccessibleDescription(QStringLiteral("Lädt alle Einträge der Liste in den Ordner Downloads."));
    Btn[2]->setAccessibleName(QStringLiteral("Log zeigen"));
    Btn[2]->setAccessibleDescription(QStringLiteral("Blendet das Log ein oder aus."));
    Btn[3]->setAccessibleName(QStringLiteral("Info"));
    Btn[3]->setAccessibleDescription(QStringLiteral("Zeigt Version und Kontakt."));
}

// The buttons tell their index, the list its drops, pastes and deletes.
void MainForm::connectControls()
{
    QFont small = font();
    small.setPointSizeF(8);
    for (int i = 0; i < 4; ++i) {
        Btn[i]->setFont(small);
        connect(Btn[i], &QPushButton::clicked, this, [this, i] { Q_EMIT Btn_Click(i); });
    }
    connect(Liste, &DropListView::dropped, this, &MainForm::Liste_OLEDragDrop);
    connect(Liste, &DropListView::pasteRequested, this, &MainForm::Liste_Paste);
    connect(Liste, &DropListView::deleteRequested, this, [this] {
        const QModelIndexList selected = Liste->selectionModel() ? Liste->selectionModel()->selectedRows() : QModelIndexList();
        if (!selected.isEmpty())
            Q_EMIT Liste_Delete(selected.first().row());
    });
}

void MainForm::setKeyboardOrder()
{
    // Keyboard order: the URL list, "Jetzt laden", the log switch, the log and its
    // clear button, and last "Info".
    for (QWidget *frame : {static_cast<QWidget *>(Frame1), static_cast<QWidget *>(LogFrame)})
        frame->setFocusPolicy(Qt::NoFocus);
    setTabOrder(Liste, Btn[1]);
    setTabOrder(Btn[1], Btn[2]);
    setTabOrder(Btn[2], Log);
    setTabOrder(Log, Btn[0]);
    setTabOrder(Btn[0], Btn[3]);
}

MainForm::MainForm(QWidget *parent)
    : QWidget(parent,
              Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Quorvex"));
    setWindowIcon(quorvexIcon());

    // Laid out with the log panel shown; positions in twips.
    LogFrame = new QGroupBox(QStringLiteral("Log"), this);
    LogFrame->setGeometry(tw(60), tw(2580), tw(8295), tw(1875));
    Btn[0] = new WrapButton(QStringLiteral("Log L&öschen"), LogFrame);
    Btn[0]->setGeometry(tw(7380), tw(300), tw(795), tw(555));
    Log = new QListView(LogFrame);
    Log->setGeometry(tw(120), tw(300), tw(7155), tw(1425));
    Log->setUniformItemSizes(true);
    Log->setSelectionMode(QAbstractItemView::SingleSelection);
    Log->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Log->setAcceptDrops(false);

    Frame1 = new QGroupBox(QStringLiteral("URL-Liste"), this);
    Frame1->setGeometry(tw(60), tw(60), tw(8295), tw(2475));
    Btn[3] = new WrapButton(QStringLiteral("&Info"), Frame1);
    Btn[3]->setGeometry(tw(7380), tw(1740), tw(795), tw(555));
    Btn[2] = new WrapButton(QStringLiteral("Log &zeigen"), Frame1);
    Btn[2]->setGeometry(tw(7380), tw(1020), tw(795), tw(555));
    Btn[1] = new WrapButton(QStringLiteral("&Jetzt laden"), Frame1);
    Btn[1]->setGeometry(tw(7380), tw(300), tw(795), tw(555));
    Liste = new DropListView(Frame1);
    Liste->setGeometry(tw(120), tw(300), tw(7155), tw(2010));
    Liste->setUniformItemSizes(true);
    Liste->setSelectionMode(QAbstractItemView::SingleSelection);
    Liste->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Liste->setAcceptDrops(true);
    Liste->viewport()->setAcceptDrops(true);
    Liste->setDropIndicatorShown(false);

    connectControls();
    describeForScreenReaders();
    setKeyboardOrder();

    setFixedSize(tw(8415), tw(4545));
}

void MainForm::setClientHeight(int height)
{
    setFixedSize(width(), height);
}

void MainForm::showModels(QAbstractItemModel *log, QAbstractItemModel *list)
{
    Log->setModel(log);
    Liste->setModel(list);
}

void MainForm::followLog(int row)
{
    // A batch run without a screen leaves the lists without models.
    const QAbstractItemModel *model = Log->model();
    const QModelIndex index = model ? model->index(row, 0) : QModelIndex();
    if (!index.isValid())
        return;
    Log->setCurrentIndex(index);
    Log->scrollTo(index);
}

void MainForm::setLogShown(bool shown)
{
    if (shown == m_logShown)
        return;
    const int step = LogFrame->height() + tw(60);
    setClientHeight(height() + (shown ? step : -step));
    Btn[2]->setText(shown ? QStringLiteral("&Log aus- blenden") : QStringLiteral("&Log zeigen"));
    Btn[2]->setAccessibleName(shown ? QStringLiteral("Log ausblenden") : QStringLiteral("Log zeigen"));
    LogFrame->setEnabled(shown);
    m_logShown = shown;
}

void MainForm::setDownloadEnabled(bool enabled)
{
    Btn[1]->setEnabled(enabled);
}

void MainForm::followProgress(TransferProgress *progress)
{
    connect(progress, &TransferProgress::entryStarted, this, [this](int row) {
        if (QAbstractItemModel *model = Liste->model())
            Liste->setCurrentIndex(model->index(row, 0));
    });
    connect(progress, &TransferProgress::changed, this, [this, progress] { setWindowTitle(progress->titleText()); });
    connect(progress, &TransferProgress::finished, this, [this, progress] {
        setWindowTitle(progress->titleText());
        Liste->clearSelection();
    });
}

void MainForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    if (const QScreen *screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void MainForm::closeEvent(QCloseEvent *event)
{
    Q_EMIT closeRequested();
    event->accept();
}
