-- Reconciles ledger accounts row by row and merges the result.
CREATE OR ALTER PROCEDURE dbo.usp_ReconcileAccounts
AS
BEGIN
    SET NOCOUNT ON;
    DECLARE @AccountID INT, @Balance MONEY, @Sql NVARCHAR(MAX);

    BEGIN TRY
        DECLARE account_cursor CURSOR FOR
            SELECT AccountID, Balance FROM dbo.Accounts WHERE IsActive = 1;

        OPEN account_cursor;
        FETCH NEXT FROM account_cursor INTO @AccountID, @Balance;
        WHILE @@FETCH_STATUS = 0
        BEGIN
            SET @Sql = N'UPDATE dbo.Ledger SET Checked = 1 WHERE AccountID = @id';
            EXEC sp_executesql @Sql, N'@id INT', @id = @AccountID;
            FETCH NEXT FROM account_cursor INTO @AccountID, @Balance;
        END
        CLOSE account_cursor;
        DEALLOCATE account_cursor;

        MERGE dbo.AccountSummary AS target
        USING (SELECT AccountID, SUM(Amount) AS Total FROM dbo.Ledger GROUP BY AccountID) AS source
        ON target.AccountID = source.AccountID
        WHEN MATCHED THEN UPDATE SET target.Total = source.Total
        WHEN NOT MATCHED THEN INSERT (AccountID, Total) VALUES (source.AccountID, source.Total);
    END TRY
    BEGIN CATCH
        THROW;
    END CATCH
END
GO
CREATE PROCEDURE dbo.usp_ExportAccounts
AS
    SELECT AccountID, Balance FROM dbo.Accounts FOR XML PATH('Account'), ROOT('Accounts');
GO
