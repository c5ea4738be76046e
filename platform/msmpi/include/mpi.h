/* What pairdot calls of Microsoft MPI (msmpi.dll), with the values of
   MS-MPI's x64 mpi.h: handles are int, calls are MPIAPI (__stdcall, which
   x64 ignores), so msmpi.dll exports the plain names. */
#ifndef PAIRDOT_MSMPI_MPI_H
#define PAIRDOT_MSMPI_MPI_H

#ifndef MPIAPI
#define MPIAPI __stdcall
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int MPI_Comm;
typedef int MPI_Datatype;

#define MPI_SUCCESS 0
#define MPI_COMM_WORLD ((MPI_Comm)0x44000000)
#define MPI_INT ((MPI_Datatype)0x4c000405)

typedef struct MPI_Status {
  int internal[2];
  int MPI_SOURCE;
  int MPI_TAG;
  int MPI_ERROR;
} MPI_Status;

int MPIAPI MPI_Init(int *argc, char ***argv);
int MPIAPI MPI_Comm_rank(MPI_Comm comm, int *rank);
int MPIAPI MPI_Comm_size(MPI_Comm comm, int *size);
int MPIAPI MPI_Send(const void *buf, int count, MPI_Datatype datatype, int dest, int tag,
                    MPI_Comm comm);
int MPIAPI MPI_Recv(void *buf, int count, MPI_Datatype datatype, int source, int tag,
                    MPI_Comm comm, MPI_Status *status);
int MPIAPI MPI_Finalize(void);

#ifdef __cplusplus
}
#endif

#endif
