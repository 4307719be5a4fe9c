#pragma once

// Bodies for transfer tests: every byte value, reproducible from a seed.

#include <QByteArray>
#include <QRandomGenerator>

inline QByteArray randomBytes(int size, QRandomGenerator &generator)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

inline QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    return randomBytes(size, generator);
}
