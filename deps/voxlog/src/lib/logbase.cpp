#include "logbase.h"

#include "log.h"

LogBase::LogBase()
{
    LogOutputList& outputs = logOutputs();
    m_Node = outputs.insert(outputs.end(), this);
}

LogBase::~LogBase()
{
    logOutputs().erase(m_Node);
}

void LogBase::handleOptionalValue(void* /*value*/)
{
}
