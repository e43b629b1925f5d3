#include <mutex>
#include <new>

#include "qnst_internal.hpp"

namespace {

// Every member starts with its link, followed by its identifier.
qnst_listlink *link_of(void *member) { return static_cast<qnst_listlink *>(member); }
uint64_t id_of(void *member) {
    uint64_t id;
    std::memcpy(&id, static_cast<char *>(member) + sizeof(qnst_listlink), sizeof id);
    return id;
}
std::mutex &mutex_of(qnst_list *head) { return *static_cast<std::mutex *>(head->mutex); }

}  // namespace

int qnst_list_init(qnst_list *head) {
    head->first = nullptr;
    head->last = nullptr;
    head->self = head;
    head->count = 0;
    head->mutex = new (std::nothrow) std::mutex;
    return head->mutex ? 0 : ENOMEM;
}

void qnst_list_destroy(qnst_list *head) {
    delete static_cast<std::mutex *>(head->mutex);
    head->mutex = nullptr;
}

uint32_t qnst_list_count(qnst_list *head) {
    std::lock_guard lock(mutex_of(head));
    return head->count;
}

int qnst_list_append(qnst_list *head, void *member) {
    qnst_listlink *link = link_of(member);
    std::lock_guard lock(mutex_of(head));
    link->next = nullptr;
    link->owner = head;
    if (head->last) {
        link->prev = head->last;
        link_of(head->last)->next = member;
    } else {
        link->prev = head;
        head->first = member;
    }
    head->last = member;
    ++head->count;
    return 0;
}

int qnst_list_remove(void *member) {
    qnst_listlink *link = link_of(member);
    qnst_list *head = link->owner;
    if (!head) return 1;
    std::lock_guard lock(mutex_of(head));
    if (link->prev == head)
        head->first = link->next;
    else
        link_of(link->prev)->next = link->next;
    if (link->next)
        link_of(link->next)->prev = link->prev;
    else
        head->last = link->prev == head ? nullptr : link->prev;
    --head->count;
    link->next = link->prev = nullptr;
    link->owner = nullptr;
    return 0;
}

int qnst_list_checkid(qnst_list *head, uint64_t id) {
    std::lock_guard lock(mutex_of(head));
    if (id == 0) return head->count ? EBUSY : 0;
    for (void *m = head->first; m; m = link_of(m)->next)
        if (id_of(m) == id) return EBUSY;
    return 0;
}
