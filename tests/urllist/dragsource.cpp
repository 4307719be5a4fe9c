// A window that starts a drag of one link as soon as the mouse is pressed on it,
// offering the formats a browser offers for a link: text/plain and text/uri-list.

#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

#include <cstdio>

class DragSource : public QWidget
{
public:
    explicit DragSource(const QString &link)
        : m_link(link)
    {
    }

protected:
    void mousePressEvent(QMouseEvent *) override
    {
        auto *data = new QMimeData;
        data->setText(m_link);
        data->setUrls({QUrl(m_link)});
        // On X11 the target fetches the data after exec() has returned; the drag (and
        // its data) must outlive this function, so it lives on the heap.
        auto *drag = new QDrag(this);
        drag->setMimeData(data);
        const Qt::DropAction action = drag->exec(Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::CopyAction);
        std::printf("drop action %d\n", int(action));
        std::fflush(stdout);
    }

private:
    QString m_link;
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    DragSource source(QString::fromLocal8Bit(argv[1]));
    source.setWindowTitle(QStringLiteral("urllist-dragsource"));
    source.setGeometry(20, 20, 200, 120);
    source.show();
    return app.exec();
}
