#include "rollbackdatalist.h"

bool RollbackDataList::rollback(QObject* target)
{
    bool allUndone = true;
    while (!isEmpty()) {
        const RollbackData record = takeLast();
        if (!record.rollback(target))
            allUndone = false;
    }
    return allUndone;
}
