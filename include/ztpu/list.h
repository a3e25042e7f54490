// Intrusive circular doubly linked list with a head node. An empty list is a
// head whose prev and next point to itself. Nodes are owned by whoever embeds
// them; the list never allocates. No locking: callers guard shared lists.
#pragma once

#include <cstddef>
#include <type_traits>

struct list_node {
  list_node* prev;
  list_node* next;
};

inline void list_init(list_node* head) {
  head->prev = head;
  head->next = head;
}

inline bool list_empty(const list_node* head) { return head->next == head; }

// Links node before head, i.e. at the tail of the queue.
inline void list_add_tail(list_node* node, list_node* head) {
  node->prev = head->prev;
  node->next = head;
  head->prev->next = node;
  head->prev = node;
}

// Unlinks node and clears its links.
inline void list_del(list_node* node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
  node->prev = nullptr;
  node->next = nullptr;
}

// The record that embeds `node` as its first member `node`.
template <typename T>
T* list_entry(list_node* node) {
  static_assert(std::is_standard_layout_v<T>, "list records must be standard-layout");
  static_assert(offsetof(T, node) == 0, "the list node must be the record's first member");
  return reinterpret_cast<T*>(node);
}

// Visits every node of the list in order; `fn` must not unlink the node.
template <typename Fn>
void list_for_each(list_node* head, Fn fn) {
  for (list_node* n = head->next; n != head; n = n->next) fn(n);
}
