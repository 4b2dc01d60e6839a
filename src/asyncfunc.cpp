#include "asyncfunc.h"

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

ASyncFunc::~ASyncFunc() = default;

void ASyncFunc::runAndReport()
{
    const bool ok = run();
    emit runResult(ok);
}
