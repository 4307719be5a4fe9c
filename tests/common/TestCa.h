#pragma once

// A throw-away certificate authority and server certificates for https tests, made by
// tests/common/make_test_ca.sh in a folder that goes with the object. A program trusts
// the authority alone, and nothing of the system's, through environment().

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

class TestCa
{
public:
    TestCa()
    {
        if (!m_dir.isValid()) {
            m_error = QStringLiteral("no temporary folder");
            return;
        }
        QProcess make;
        make.setProcessChannelMode(QProcess::MergedChannels);
        make.start(QStringLiteral("bash"), {QStringLiteral(QUORVEX_TESTS_DIR "/common/make_test_ca.sh"), m_dir.path()});
        if (!make.waitForFinished(60000) || make.exitStatus() != QProcess::NormalExit || make.exitCode() != 0)
            m_error = QStringLiteral("make_test_ca.sh failed: ") + QString::fromLocal8Bit(make.readAll());
    }

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    // For TestServer: "server" (127.0.0.1), "wronghost" (another name) or "untrusted"
    // (signed by an authority nobody trusts).
    QString cert(const QString &name) const { return m_dir.filePath(name); }
    // Trust the test authority only: no system bundle, no system folder.
    void trustIn(QProcessEnvironment *env) const
    {
        env->insert(QStringLiteral("SSL_CERT_FILE"), m_dir.filePath(QStringLiteral("ca.pem")));
        env->insert(QStringLiteral("SSL_CERT_DIR"), QString());
    }

private:
    QTemporaryDir m_dir;
    QString m_error;
};
