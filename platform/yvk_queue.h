/*
 * The device's queue library: a fixed-capacity FIFO of copied elements that
 * two threads may use at once.
 */
#ifndef YVK_QUEUE_H
#define YVK_QUEUE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct yvk_queue yvk_queue;

/* A queue of at most capacity elements of elementSize bytes; name is for
 * diagnostics.  Null on bad arguments or when memory runs out. */
yvk_queue *queue_new(int capacity, int elementSize, const char *name);

/* Copies elementSize bytes of element in.  0 on success, -1 when the queue is
 * full or the size is not the queue's element size. */
int queue_push(yvk_queue *queue, const void *element, int elementSize);

/* Removes the oldest element and returns a pointer to a copy of it, waiting
 * at most timeoutMs (0: no wait, negative: forever); null after the timeout.
 * The copy stays readable until the same thread pops from this queue again.
 * When sizeOut is not null it receives the element size. */
void *queue_pop(yvk_queue *queue, int *sizeOut, int timeoutMs);

/* Number of elements held. */
int queue_get_currnum(yvk_queue *queue);

/* Releases the queue; no thread may use it any more. */
void queue_free(yvk_queue *queue);

#ifdef __cplusplus
}
#endif

#endif /* YVK_QUEUE_H */
