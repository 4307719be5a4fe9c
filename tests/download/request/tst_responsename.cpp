// The name a response suggests: the Content-Disposition value as servers and the
// published browser conformance cases write it, the redirect's and the decoded link's
// names, and what any of them may never become on disk.

#include "download/request/ContentDisposition.h"
#include "download/request/ResponseName.h"

#include <QTest>

using Source = ResponseName::Source;

class tst_ResponseName : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void serverName_data()
    {
        // The value as libcurl hands it over, and the name on disk; a header that gives
        // nothing falls back to the link's name, "fallback.bin".
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("name");
        const auto row = [](const char *tag, const QByteArray &value, const QString &name) {
            QTest::newRow(tag) << value << name;
        };
        const QString falls = QStringLiteral("fallback.bin");
        row("quoted", "attachment; filename=\"foo.html\"", "foo.html");
        row("token", "attachment; filename=foo.html", "foo.html");
        row("inline", "inline; filename=\"foo.html\"", "foo.html");
        row("unknown type", "foobar; filename=foo.html", "foo.html");
        row("letter case", "ATTACHMENT; FileName=foo.html", "foo.html");
        row("no name", "attachment", falls);
        row("escaped quotes", "attachment; filename=\"\\\"quoting\\\" tested.html\"", "\"quoting\" tested.html");
        row("escaped letter", "attachment; filename=\"f\\oo.html\"", "foo.html");
        row("semicolon in quotes", "attachment; filename=\"a;b.html\"", "a;b.html");
        row("unknown parameters", "attachment; foo=\"x;\\\"y\"; filename=\"foo.html\"; size=3", "foo.html");
        row("percent signs kept", "attachment; filename=\"foo-%41.html\"", "foo-%41.html");
        row("raw ISO-8859-1", "attachment; filename=\"foo-\xe4.html\"", "foo-ä.html");
        row("raw UTF-8", "attachment; filename=\"foo-\xc3\xa4.html\"", "foo-ä.html");
        row("whitespace around =", "attachment; filename = \"foo.html\"", "foo.html");
        row("trailing semicolon", "attachment; filename=foo.html;", "foo.html");
        row("extended UTF-8", "attachment; filename*=UTF-8'de'Rechnung%20M%C3%A4rz%20%E2%82%AC.pdf", "Rechnung März €.pdf");
        row("extended ISO-8859-1", "attachment; filename*=iso-8859-1''foo-%E4.html", "foo-ä.html");
        row("extended after plain", "attachment; filename=ae.html; filename*=UTF-8''%C3%A4.html", "ä.html");
        row("extended before plain", "attachment; filename*=UTF-8''%C3%A4.html; filename=ae.html", "ä.html");
        row("missing charset", "attachment; filename*=''foo.html", falls);
        row("missing charset, plain too", "attachment; filename*=''x.html; filename=plain.html", "plain.html");
        row("unknown charset", "attachment; filename*=UTF-7''x.html; filename=plain.html", "plain.html");
        row("quoted extended", "attachment; filename*=\"UTF-8''foo.html\"", falls);
        row("raw byte in extended", "attachment; filename*=UTF-8''foo-\xc3\xa4.html", falls);
        row("bad escape in extended", "attachment; filename*=UTF-8''foo-%zz.html", falls);
        row("two dispositions", "attachment; inline; filename=foo.html", falls);
        row("dispositions in a list", "inline, attachment; filename=foo.html", falls);
        row("no disposition type", "filename=foo.html", falls);
        row("name twice", "attachment; filename=a.html; filename=b.html", falls);
        row("empty name", "attachment; filename=\"\"", falls);
        row("text after quotes", "attachment; filename=\"foo.html\".txt", falls);
        row("unclosed quote", "attachment; filename=\"bar", falls);
        row("quote inside token", "attachment; filename=foo\"bar;baz\"qux", falls);
        // Hostile names.
        row("absolute path", "attachment; filename=\"/etc/passwd\"", "passwd");
        row("backslash path", "attachment; filename=\"..\\\\..\\\\x.exe\"", "x.exe");
        row("dot dot path", "attachment; filename=\"../x\"", "x");
        row("only dots", "attachment; filename=\"..\"", falls);
        row("hidden file", "attachment; filename=.bashrc", "bashrc");
        row("our own hidden file", "attachment; filename=.quorvex-part-1", "quorvex-part-1");
        row("leading spaces and dots", "attachment; filename=\" . .x.txt\"", "x.txt");
        row("direction override", "attachment; filename*=UTF-8''Rechnung%E2%80%AEfdp.exe", "Rechnung_fdp.exe");
        row("direction isolate and mark", "attachment; filename*=UTF-8''a%E2%81%A6b%E2%80%8Fc%D8%9C.txt", "a_b_c_.txt");
        row("zero width and byte order mark", "attachment; filename*=UTF-8''a%E2%80%8Bb%EF%BB%BFc.txt", "a_b_c.txt");
        row("C1 control", "attachment; filename*=UTF-8''a%C2%85b.txt", "a_b.txt");
        row("NUL", "attachment; filename*=UTF-8''a%00b.txt", "a_b.txt");
        row("CR LF", "attachment; filename*=UTF-8''a%0D%0Ab.txt", "a__b.txt");
        row("invalid UTF-8 in extended", "attachment; filename*=UTF-8''a%C3.txt", falls);
        row("10000 characters", "attachment; filename=" + QByteArray(10000, 'x') + ".pdf", QString(236, u'x') + ".pdf");
        row("cut leaves a leading dot", "attachment; filename=" + QByteArray(300, 'x') + '.' + QByteArray(239, 'y'),
            QString(239, u'y'));
    }

    void serverName()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, name);
        const ResponseName::Choice choice = ResponseName::choose(QStringLiteral("fallback.bin"), ContentDisposition::fileName(value), {});
        QCOMPARE(choice.name, name);
        QCOMPARE(choice.source, name == u"fallback.bin" ? Source::List : Source::Server);
    }

    void linkName_data()
    {
        // The name derived from the link, the final URL after redirects (empty without).
        QTest::addColumn<QString>("derived");
        QTest::addColumn<QString>("finalUrl");
        QTest::addColumn<QString>("name");
        QTest::addColumn<Source>("source");
        QTest::newRow("decoded") << "Bericht%202026.pdf" << "" << "Bericht 2026.pdf" << Source::Address;
        QTest::newRow("decoded UTF-8, escaped percent") << "Gr%C3%B6%C3%9Fe%25.txt" << "" << "Größe%.txt" << Source::Address;
        QTest::newRow("slash stays escaped") << "a%2Fb%2f.txt" << "" << "a%2Fb%2f.txt" << Source::List;
        QTest::newRow("controls stay escaped") << "a%00b%0A%7F.txt" << "" << "a%00b%0A%7F.txt" << Source::List;
        QTest::newRow("not UTF-8 stays escaped") << "a%FF%20.txt" << "" << "a%FF%20.txt" << Source::List;
        QTest::newRow("broken escapes") << "%%4%zz.txt" << "" << "%%4%zz.txt" << Source::List;
        QTest::newRow("decoded override") << "a%E2%80%AEb.txt" << "" << "a_b.txt" << Source::Address;
        QTest::newRow("hidden") << ".htaccess" << "" << "htaccess" << Source::Address;
        QTest::newRow("empty") << "" << "" << "index.html" << Source::List;
        QTest::newRow("redirect, no extension") << "latest" << "http://h/dl/tool-1.4.2.tar.gz" << "tool-1.4.2.tar.gz"
                                                << Source::Redirect;
        QTest::newRow("redirect, query") << "get.php?id=42" << "https://h/f/M%C3%A4rz.pdf?sig=ab/c.d#x" << "März.pdf"
                                         << Source::Redirect;
        QTest::newRow("redirect to an opaque path") << "latest" << "http://cdn/a8f93c0d" << "latest" << Source::List;
        QTest::newRow("redirect to a folder") << "latest" << "http://h/dir/" << "latest" << Source::List;
        QTest::newRow("redirect to the host") << "latest" << "http://h.example" << "latest" << Source::List;
        QTest::newRow("redirect keeps a good name") << "setup.zip" << "http://h/x/other.zip" << "setup.zip" << Source::List;
    }

    void linkName()
    {
        QFETCH(QString, derived);
        QFETCH(QString, finalUrl);
        QFETCH(QString, name);
        QFETCH(Source, source);
        const ResponseName::Choice choice = ResponseName::choose(derived, std::nullopt, finalUrl);
        QCOMPARE(choice.name, name);
        QCOMPARE(choice.source, source);
    }
};

QTEST_GUILESS_MAIN(tst_ResponseName)
#include "tst_responsename.moc"
