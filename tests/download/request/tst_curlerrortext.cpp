// What the log says for each way a transfer can fail inside libcurl.

#include "download/request/CurlErrorText.h"

#include <QTest>

class tst_CurlErrorText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void curlTextsNeverSayNothing_data()
    {
        QTest::addColumn<int>("result");
        QTest::addColumn<long>("osErrno");
        QTest::addColumn<bool>("headComplete");
        QTest::addColumn<QString>("text");
        QTest::newRow("head refused by libcurl") << int(CURLE_RECV_ERROR) << 0L << false
                                                 << "Fehlerhafte Antwort: Kopfzeilen zu groß oder unlesbar";
        QTest::newRow("overlong head line") << int(CURLE_OUT_OF_MEMORY) << 0L << false << "Fehlerhafte Antwort: Kopfzeilen zu groß";
        QTest::newRow("receive error after the head") << int(CURLE_RECV_ERROR) << 0L << true
                                                      << "Fehler beim Empfangen: Antwort nicht lesbar";
        QTest::newRow("connect failed without errno") << int(CURLE_COULDNT_CONNECT) << 0L << false << "Keine Verbindung möglich";
        QTest::newRow("unknown code") << int(CURLE_LDAP_SEARCH_FAILED) << 0L << false << "Übertragungsfehler (libcurl 39)";
    }

    void curlTextsNeverSayNothing()
    {
        QFETCH(int, result);
        QFETCH(long, osErrno);
        QFETCH(bool, headComplete);
        QFETCH(QString, text);
        CurlFailure failure;
        failure.result = CURLcode(result);
        failure.osErrno = osErrno;
        failure.headComplete = headComplete;
        const FailureText shown = curlErrorText(failure);
        QCOMPARE(shown.text, text);
        QVERIFY(shown.code != 0);
    }
};

QTEST_GUILESS_MAIN(tst_CurlErrorText)
#include "tst_curlerrortext.moc"
